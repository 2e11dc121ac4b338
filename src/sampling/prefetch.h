// Cache prefetch hints, for loops that know their next addresses early.
//
//   prefetch_read(row.data + position);   // row[position] is read soon
//   prefetch_write(&slots[i]);            // slots[i] is written soon
//
// Hints only: they never fault, so an address outside any array is harmless
// (callers still bound them, to keep the hint useful).
#ifndef TOVALIB_SAMPLING_PREFETCH_H_
#define TOVALIB_SAMPLING_PREFETCH_H_

#if defined(_MSC_VER) && !defined(__clang__)
#include <xmmintrin.h>
#endif

namespace tovalib {

inline void prefetch_read(const void* p) {
#if defined(_MSC_VER) && !defined(__clang__)
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
  __builtin_prefetch(p, 0, 3);
#endif
}

inline void prefetch_write(const void* p) {
#if defined(_MSC_VER) && !defined(__clang__)
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
  __builtin_prefetch(p, 1, 3);
#endif
}

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_PREFETCH_H_
