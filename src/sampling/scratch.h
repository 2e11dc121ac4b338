// What scratch a sampler keeps from one call to the next.
//
//   release_if_oversized(buffer, used_this_call);
//
// Buffers are kept so that a steady stream of similar calls allocates
// nothing, but one huge call must not leave its memory behind for the
// sampler's lifetime: a buffer whose capacity is well beyond what the last
// call used is given back.
#ifndef TOVALIB_SAMPLING_SCRATCH_H_
#define TOVALIB_SAMPLING_SCRATCH_H_

#include <cstddef>
#include <vector>

namespace tovalib {

// Buffers up to this size are always kept: releasing them saves little.
constexpr size_t kScratchKeepBytes = size_t{1} << 20;

// Frees `v` (contents and capacity) when it holds more than a few times
// `used` elements and more than kScratchKeepBytes.
template <typename T>
void release_if_oversized(std::vector<T>& v, size_t used) {
  const size_t capacity = v.capacity();
  if (capacity * sizeof(T) > kScratchKeepBytes && capacity / 4 > used) {
    std::vector<T>().swap(v);
  }
}

// Like release_if_oversized with `used` = v.size(), but keeps the contents:
// a list that must still be read moves into a buffer of its own size.
template <typename T>
void shrink_if_oversized(std::vector<T>& v) {
  const size_t capacity = v.capacity();
  if (capacity * sizeof(T) > kScratchKeepBytes && capacity / 4 > v.size()) {
    std::vector<T>(v.begin(), v.end()).swap(v);
  }
}

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_SCRATCH_H_
