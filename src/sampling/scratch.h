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
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tovalib {

// Buffers up to this size are always kept: releasing them saves little.
constexpr size_t kScratchKeepBytes = size_t{1} << 20;

// Frees `v` (contents and capacity) when it holds more than a few times
// `used` elements and more than kScratchKeepBytes.
template <typename T, typename A>
void release_if_oversized(std::vector<T, A>& v, size_t used) {
  const size_t capacity = v.capacity();
  if (capacity * sizeof(T) > kScratchKeepBytes && capacity / 4 > used) {
    std::vector<T, A>().swap(v);
  }
}

// Like release_if_oversized with `used` = v.size(), but keeps the contents:
// a list that must still be read moves into a buffer of its own size.
template <typename T, typename A>
void shrink_if_oversized(std::vector<T, A>& v) {
  const size_t capacity = v.capacity();
  if (capacity * sizeof(T) > kScratchKeepBytes && capacity / 4 > v.size()) {
    std::vector<T, A>(v.begin(), v.end()).swap(v);
  }
}

// std::allocator, except that growing a list by resize() leaves the new
// elements uninitialised: the engine sizes its lists for what it is about to
// write, writes through pointers, and cuts them back to what it wrote, so
// zeroing them first would be wasted work.
template <typename T>
struct UninitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() = default;
  template <typename U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// A list of int64 that grows without zeroing (see UninitAllocator).
using Int64List = std::vector<int64_t, UninitAllocator<int64_t>>;

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_SCRATCH_H_
