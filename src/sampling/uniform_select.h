// Random choice of k distinct positions out of a neighbourhood (Floyd's
// algorithm), driven by one MT19937 (Mt19937).
//
//   TakenSet taken;
//   std::vector<int64_t> picks(k);
//   select_uniform(generator, begin, n, k, taken, picks.data());  // requires 0 <= k < n
//
// Step j (j = n - k, ..., n - 1) draws a value below j + 1: one 32-bit
// output u, r = u mod (j + 1). When j + 1 exceeds 2^32 a single output
// cannot reach the upper offsets, so that step takes two consecutive outputs,
// the first as the high half, and r is the remainder of that 64-bit value.
// Neighbourhoods shorter than 2^32 therefore never see the second draw.
#ifndef TOVALIB_SAMPLING_UNIFORM_SELECT_H_
#define TOVALIB_SAMPLING_UNIFORM_SELECT_H_

#include <cstdint>

#include "sampling/mt19937.h"
#include "sampling/taken_set.h"

namespace tovalib {

// A value below `bound` (1 <= bound), as step j of the selection draws it
// with bound = j + 1.
inline int64_t draw_below(Mt19937& generator, int64_t bound) {
  const auto d = static_cast<uint64_t>(bound);
  const auto high = static_cast<uint32_t>(generator());
  if (d <= 0xFFFFFFFFu) {
    // 32-bit division: the same remainder at a fraction of a 64-bit divide.
    return static_cast<int64_t>(high % static_cast<uint32_t>(d));
  }
  if (d == uint64_t{1} << 32) return static_cast<int64_t>(high);  // one output still covers it
  const auto low = static_cast<uint32_t>(generator());
  const uint64_t u = (static_cast<uint64_t>(high) << 32) | low;
  return static_cast<int64_t>(u % d);
}

// Selections of at most this many draws look their earlier picks up one by
// one, in the output itself: a few compares, no set to clear.
constexpr int64_t kScanMaxDraws = 24;

// Writes begin + offset for k distinct offsets of [0, n) to out[0, k), in
// the order of j. Which record of taken offsets is used (one word of bits
// for neighbourhoods of at most 64 positions, the output for few draws, else
// `taken`) changes nothing but speed.
inline void select_uniform(Mt19937& generator, int64_t begin, int64_t n, int64_t k,
                           TakenSet& taken, int64_t* out) {
  if (n <= 64) {
    uint64_t bits = 0;
    for (int64_t j = n - k; j < n; ++j) {
      const int64_t r = draw_below(generator, j + 1);
      const int64_t chosen = ((bits >> r) & 1u) != 0 ? j : r;
      bits |= uint64_t{1} << chosen;
      *out++ = begin + chosen;
    }
    return;
  }
  if (k <= kScanMaxDraws) {
    const int64_t* first = out;
    for (int64_t j = n - k; j < n; ++j) {
      const int64_t position = begin + draw_below(generator, j + 1);
      int64_t chosen = position;
      for (const int64_t* p = first; p != out; ++p) {
        if (*p == position) {
          chosen = begin + j;
          break;
        }
      }
      *out++ = chosen;
    }
    return;
  }
  taken.start(n, k);
  for (int64_t j = n - k; j < n; ++j) {
    const int64_t r = draw_below(generator, j + 1);
    int64_t chosen = r;
    if (!taken.insert(r)) {
      taken.insert(j);
      chosen = j;
    }
    *out++ = begin + chosen;
  }
}

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_UNIFORM_SELECT_H_
