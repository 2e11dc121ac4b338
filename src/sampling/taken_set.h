// Membership of the offsets already chosen during one random selection of
// k out of n positions (Floyd's algorithm).
//
//   TakenSet t;
//   t.start(n, k);
//   if (!t.insert(r)) t.insert(j);
//
// Two representations, picked per selection, both answering the same (few
// draws, or neighbourhoods of at most 64 positions, need no set at all: see
// select_uniform):
// - moderate neighbourhoods: a stamp per offset, cleared in O(1) by bumping
//   the generation, storage kept across selections;
// - huge neighbourhoods: an open-addressing set sized by k, not n.
#ifndef TOVALIB_SAMPLING_TAKEN_SET_H_
#define TOVALIB_SAMPLING_TAKEN_SET_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/scratch.h"

namespace tovalib {

class TakenSet {
 public:
  void start(int64_t n, int64_t k) {
    if (n <= kStampMax) {
      mode_ = Mode::kStamp;
      stamps_used_ = std::max(stamps_used_, static_cast<size_t>(n));
      if (stamps_.size() < static_cast<size_t>(n)) stamps_.resize(static_cast<size_t>(n), 0);
      if (++generation_ == 0) {
        std::fill(stamps_.begin(), stamps_.end(), 0u);
        generation_ = 1;
      }
    } else {
      mode_ = Mode::kHash;
      size_t cap = 16;
      while (cap < 2 * static_cast<size_t>(k)) cap <<= 1;
      hash_capacity_ = cap;
      hash_used_ = std::max(hash_used_, cap);
      if (hash_.size() < cap) hash_.resize(cap);
      std::fill(hash_.begin(), hash_.begin() + static_cast<std::ptrdiff_t>(cap), kEmpty);
    }
  }

  // Called when a call ends: gives back storage far larger than this
  // call's selections used.
  void release_oversized() {
    release_if_oversized(stamps_, stamps_used_);
    release_if_oversized(hash_, hash_used_);
    stamps_used_ = 0;
    hash_used_ = 0;
  }

  // Marks `offset` taken; returns false when it already was.
  bool insert(int64_t offset) {
    switch (mode_) {
      case Mode::kStamp: {
        uint32_t& s = stamps_[static_cast<size_t>(offset)];
        if (s == generation_) return false;
        s = generation_;
        return true;
      }
      case Mode::kHash:
      default: {
        const size_t mask = hash_capacity_ - 1;
        size_t i = static_cast<size_t>(static_cast<uint64_t>(offset) * 0x9E3779B97F4A7C15ULL >> 17) & mask;
        while (hash_[i] != kEmpty) {
          if (hash_[i] == offset) return false;
          i = (i + 1) & mask;
        }
        hash_[i] = offset;
        return true;
      }
    }
  }

  // Bytes of storage held.
  size_t bytes() const {
    return stamps_.capacity() * sizeof(uint32_t) +
           hash_.capacity() * sizeof(int64_t);
  }

 private:
  enum class Mode { kStamp, kHash };
  static constexpr int64_t kStampMax = int64_t{1} << 20;
  static constexpr int64_t kEmpty = -1;  // offsets are never negative

  Mode mode_ = Mode::kStamp;
  std::vector<uint32_t> stamps_;
  uint32_t generation_ = 0;
  std::vector<int64_t> hash_;
  size_t hash_capacity_ = 0;
  size_t stamps_used_ = 0;  // most stamps / hash slots a selection used
  size_t hash_used_ = 0;    // since the last release_oversized()
};

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_TAKEN_SET_H_
