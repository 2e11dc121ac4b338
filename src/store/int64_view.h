// Read-only view of a contiguous int64 array owned by someone else.
//
// The view records its length so that every reader can bound its indices;
// it owns nothing, and whoever creates it keeps the memory alive.
//
//   Int64View v{arr.data(), arr.size()};
//   if (v.contains(i)) use(v[i]);
#ifndef TOVALIB_STORE_INT64_VIEW_H_
#define TOVALIB_STORE_INT64_VIEW_H_

#include <cstdint>

namespace tovalib {

struct Int64View {
  const int64_t* data = nullptr;
  int64_t size = 0;

  bool contains(int64_t i) const { return i >= 0 && i < size; }
  int64_t operator[](int64_t i) const { return data[i]; }
};

}  // namespace tovalib

#endif  // TOVALIB_STORE_INT64_VIEW_H_
