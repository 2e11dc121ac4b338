// Per-call numbering of sampled nodes: (batch, node) -> dense local index.
//
//   LocalIndexMap m;
//   m.reset();
//   auto [index, added] = m.insert(batch, node);   // added: index == old size
//
// Open addressing with linear probing over a flat slot array: one probe is
// usually one cache line, and the storage is kept across calls (reset only
// clears the part the previous call used), so steady-state calls allocate
// nothing. The numbering depends only on the order of inserts, never on
// the hash.
#ifndef TOVALIB_SAMPLING_LOCAL_INDEX_MAP_H_
#define TOVALIB_SAMPLING_LOCAL_INDEX_MAP_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tovalib {

class LocalIndexMap {
 public:
  LocalIndexMap() { slots_.assign(kMinCapacity, Slot{}); }

  // Forgets every entry. The next call starts with room for about as many
  // entries as the last one used, so clearing costs what that call cost.
  void reset() {
    size_t want = kMinCapacity;
    while (want < 2 * size_) want <<= 1;
    if (want < capacity_) capacity_ = want;
    for (size_t i = 0; i < capacity_; ++i) slots_[i].index = -1;
    size_ = 0;
  }

  size_t size() const { return size_; }

  // Returns the local index of (batch, node) and whether it was added now.
  std::pair<int64_t, bool> insert(int64_t batch, int64_t node) {
    if (2 * (size_ + 1) > capacity_) grow();
    const size_t mask = capacity_ - 1;
    size_t i = hash(batch, node) & mask;
    while (true) {
      Slot& s = slots_[i];
      if (s.index < 0) {
        s.node = node;
        s.batch = batch;
        s.index = static_cast<int64_t>(size_++);
        return {s.index, true};
      }
      if (s.node == node && s.batch == batch) return {s.index, false};
      i = (i + 1) & mask;
    }
  }

 private:
  struct Slot {
    int64_t node = 0;
    int64_t batch = 0;
    int64_t index = -1;  // -1: empty
  };
  static constexpr size_t kMinCapacity = 16;

  static size_t hash(int64_t batch, int64_t node) {
    uint64_t x = static_cast<uint64_t>(node) ^
                 (static_cast<uint64_t>(batch) * 0x9E3779B97F4A7C15ULL);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return static_cast<size_t>(x);
  }

  void grow() {
    old_.assign(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(capacity_));
    capacity_ *= 2;
    if (slots_.size() < capacity_) slots_.resize(capacity_);
    for (size_t i = 0; i < capacity_; ++i) slots_[i].index = -1;
    const size_t mask = capacity_ - 1;
    for (const Slot& s : old_) {
      if (s.index < 0) continue;
      size_t i = hash(s.batch, s.node) & mask;
      while (slots_[i].index >= 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  std::vector<Slot> old_;  // scratch for rehashing, kept to avoid reallocating
  size_t capacity_ = kMinCapacity;
  size_t size_ = 0;
};

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_LOCAL_INDEX_MAP_H_
