// Per-call numbering of sampled nodes: (batch, node) -> dense local index.
//
//   LocalIndexMap m;
//   m.reset(num_seeds);
//   auto [index, added] = m.insert(batch, node);   // added: index == old size
//   LocalIndexMap::Table& t = m.table(batch);       // many inserts of one batch
//   auto [index2, added2] = m.insert(t, node2);
//
// One small open-addressing table per batch (seed), not one table for all:
// the hop loop expands a frontier in batch order, so the inserts of a stretch
// of work hit the few cache lines of one seed's table instead of random lines
// of a table sized for the whole call. The tables live in an arena of
// blocks; a table that fills up moves to a region twice its size in the last
// block, and when that block is full a new one, as large as all before it
// together, is added: growing never moves the regions handed out already.
// A slot is written only when a key goes into it: each slot carries the
// call's stamp above its index, so a slot left over from an earlier call (or
// never used) reads as empty without being cleared, and handing out a region
// costs nothing. reset() forgets all tables in O(number of batches) and
// merges the blocks into one, so steady-state calls allocate nothing;
// release_oversized() gives back an arena far larger than the last call used.
// The numbering depends only on the order of inserts, never on the hash.
#ifndef TOVALIB_SAMPLING_LOCAL_INDEX_MAP_H_
#define TOVALIB_SAMPLING_LOCAL_INDEX_MAP_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "sampling/prefetch.h"
#include "sampling/scratch.h"

namespace tovalib {

class LocalIndexMap {
 public:
  // Forgets every entry; batches are expected in [0, num_batches). New
  // tables start at the size that the median batch of the previous call
  // needed, so that in a steady stream of similar calls most tables never
  // grow (growing means filling and rehashing). That start is only a guess
  // about this call, so it is cut down until the tables of all
  // num_batches batches together take no more than a few times the
  // previous call's arena: a call with many seeds after one with few, large
  // subgraphs starts small, as on a fresh map, instead of multiplying the
  // old median by its seed count. (The slack keeps the guess in a steady
  // stream, where some seeds get no table at all.)
  void reset(size_t num_batches = 0) {
    sizes_.clear();
    for (const Table& t : tables_) {
      if (t.size > 0) sizes_.push_back(t.size);
    }
    start_bits_ = kMinBits;
    if (!sizes_.empty()) {
      auto mid = sizes_.begin() + static_cast<std::ptrdiff_t>(sizes_.size() / 2);
      std::nth_element(sizes_.begin(), mid, sizes_.end());
      while (start_bits_ < kMaxStartBits && !fits(*mid, size_t{1} << start_bits_)) ++start_bits_;
      while (start_bits_ > kMinBits && (num_batches << start_bits_) > 4 * arena_used_) --start_bits_;
    }
    release_if_oversized(sizes_, 0);
    release_if_oversized(tables_, num_batches);
    tables_.assign(num_batches, Table{});
    if (blocks_.size() > 1) {
      // The last call outgrew its first block: one block of the whole size
      // serves the next call like it without growing.
      const size_t total = arena_capacity_;
      blocks_.clear();
      arena_capacity_ = 0;
      add_block(total);
    }
    block_used_ = 0;
    arena_used_ = 0;
    next_index_ = 0;
    next_stamp();
  }

  // Called when a call ends: frees the arena when it is far larger than
  // this call's tables needed (a huge call earlier grew it). The entries
  // are gone afterwards; only reset() may follow.
  void release_oversized() {
    if (arena_capacity_ * sizeof(Slot) > kScratchKeepBytes && arena_capacity_ / 4 > arena_used_) {
      blocks_.clear();
      arena_capacity_ = 0;
      block_used_ = 0;
    }
  }

  size_t size() const { return static_cast<size_t>(next_index_); }

  // Bytes of storage held.
  size_t bytes() const {
    return arena_capacity_ * sizeof(Slot) + tables_.capacity() * sizeof(Table) +
           sizes_.capacity() * sizeof(size_t);
  }

  struct Slot {
    int64_t node;
    uint64_t tag;  // stamp + index when it holds a key of this call
  };
  // The table of one batch. Valid until the next reset(), or until an insert
  // for a batch at or beyond the count given to reset().
  struct Table {
    Slot* slots = nullptr;  // in one of blocks_
    size_t size = 0;
    size_t limit = 0;     // entries it takes before it grows
    size_t mask = 0;      // capacity - 1
    uint32_t bits = 0;    // capacity is 2^bits slots; 0 bits: no table yet
    uint32_t shift = 64;  // 64 - bits: hashes keep their high bits

    size_t capacity() const { return bits == 0 ? 0 : size_t{1} << bits; }
  };

  Table& table(int64_t batch) {
    const auto b = static_cast<size_t>(batch);
    if (b >= tables_.size()) tables_.resize(b + 1);
    return tables_[b];
  }

  // Hints that `node` is about to be inserted into `t`: fetches the line of
  // its first slot when the table exists.
  static void prefetch(const Table& t, int64_t node) {
    if (t.bits != 0) prefetch_write(t.slots + hash(node, t.shift));
  }

  // Returns the local index of (batch, node) and whether it was added now.
  std::pair<int64_t, bool> insert(int64_t batch, int64_t node) { return insert(table(batch), node); }

  // The same, for the batch whose table `t` is.
  std::pair<int64_t, bool> insert(Table& t, int64_t node) {
    if (t.size >= t.limit) grow(t);
    Slot* slots = t.slots;
    const uint64_t stamp = stamp_;
    size_t i = hash(node, t.shift);
    while (true) {
      Slot& s = slots[i];
      if (s.tag < stamp) {
        const int64_t index = next_index_++;
        s.node = node;
        s.tag = stamp + static_cast<uint64_t>(index);
        ++t.size;
        return {index, true};
      }
      if (s.node == node) return {static_cast<int64_t>(s.tag - stamp), false};
      i = (i + 1) & t.mask;
    }
  }

 private:
  // A tag is stamp + index; stamps grow by 2^kIndexBits per call, so every
  // tag of an earlier call lies below this call's stamp. Local indices stay
  // far below 2^40 (that many nodes would take 16 TiB of tables alone).
  static constexpr uint32_t kIndexBits = 40;
  static constexpr uint64_t kStampStep = uint64_t{1} << kIndexBits;
  static constexpr uint32_t kMinBits = 3;
  static constexpr uint32_t kMaxStartBits = 12;

  // Tables are filled up to three quarters: linear probing stays short at
  // that load, and fewer cache lines per table means fewer misses.
  static bool fits(size_t entries, size_t capacity) { return 4 * entries <= 3 * capacity; }
  static size_t limit_of(size_t capacity) { return capacity / 4 * 3; }

  // The stamp of a new call. After 2^24 calls the stamps would wrap: every
  // slot is cleared once and they start over.
  void next_stamp() {
    if (stamp_ >= ~uint64_t{0} - kStampStep) {
      for (Block& b : blocks_) std::fill(b.slots.get(), b.slots.get() + b.capacity, Slot{0, 0});
      stamp_ = 0;
    }
    stamp_ += kStampStep;
  }

  // Fibonacci hashing: consecutive ids (common within a neighbourhood) land
  // far apart.
  static size_t hash(int64_t node, uint32_t shift) {
    return static_cast<size_t>((static_cast<uint64_t>(node) * 0x9E3779B97F4A7C15ULL) >> shift);
  }

  // Appends a block of `capacity` slots, zeroed (tag 0 lies below every
  // stamp: empty), and makes it the one regions come from. calloc: a large
  // block comes as fresh zero pages, which take memory only once a table
  // is placed on them.
  void add_block(size_t capacity) {
    void* memory = std::calloc(capacity, sizeof(Slot));
    if (memory == nullptr) throw std::bad_alloc();
    blocks_.push_back(Block{SlotArray(static_cast<Slot*>(memory)), capacity});
    arena_capacity_ += capacity;
    block_used_ = 0;
  }

  // Moves `t` to a fresh region of twice its capacity (or the minimum).
  void grow(Table& t) {
    const uint32_t bits = t.bits == 0 ? start_bits_ : t.bits + 1;
    const size_t capacity = size_t{1} << bits;
    if (blocks_.empty() || blocks_.back().capacity - block_used_ < capacity) {
      const size_t first = std::max<size_t>(tables_.size() << kMinBits, 64);
      add_block(std::max({capacity, arena_capacity_, first}));
    }
    Slot* fresh = blocks_.back().slots.get() + block_used_;
    block_used_ += capacity;
    arena_used_ += capacity;
    const uint32_t shift = 64 - bits;
    const size_t mask = capacity - 1;
    const Slot* old = t.slots;
    const size_t old_capacity = t.capacity();
    for (size_t j = 0; j < old_capacity; ++j) {
      if (old[j].tag < stamp_) continue;
      size_t i = hash(old[j].node, shift);
      while (fresh[i].tag >= stamp_) i = (i + 1) & mask;
      fresh[i] = old[j];
    }
    t.slots = fresh;
    t.bits = bits;
    t.shift = shift;
    t.mask = mask;
    t.limit = limit_of(capacity);
  }

  std::vector<Table> tables_;  // indexed by batch
  struct FreeSlots {
    void operator()(Slot* slots) const { std::free(slots); }
  };
  using SlotArray = std::unique_ptr<Slot[], FreeSlots>;
  struct Block {
    SlotArray slots;
    size_t capacity;
  };
  std::vector<Block> blocks_;  // regions come from the last
  size_t block_used_ = 0;      // slots of the last block handed out
  size_t arena_capacity_ = 0;  // slots of all blocks
  size_t arena_used_ = 0;      // slots handed out since reset()
  int64_t next_index_ = 0;
  uint64_t stamp_ = kStampStep;    // of this call; see next_stamp()
  uint32_t start_bits_ = kMinBits;  // capacity of a batch's first table
  std::vector<size_t> sizes_;      // scratch of reset()
};

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_LOCAL_INDEX_MAP_H_
