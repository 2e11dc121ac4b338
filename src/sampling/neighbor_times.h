// The times of one edge type's neighbours, read through `row`, and the
// upper-bound search over a neighbourhood ordered by them.
//
//   NeighborTimes t{row, node_time_of_source_type, &source_type_name};
//   int64_t q = t.upper_bound(begin, end, seed_time);  // first later neighbour
//
// Every read checks the neighbour id against the time array, so malformed
// graphs raise an error naming the node type instead of reading past the
// array.
#ifndef TOVALIB_SAMPLING_NEIGHBOR_TIMES_H_
#define TOVALIB_SAMPLING_NEIGHBOR_TIMES_H_

#include <cstdint>
#include <stdexcept>
#include <string>

#include "store/int64_view.h"

namespace tovalib {

[[noreturn]] inline void throw_bad_time_id(const std::string& node_type, int64_t node,
                                           Int64View times) {
  throw std::runtime_error("Node " + std::to_string(node) +
                           " is out of range for 'node_time' at '" + node_type + "' (" +
                           std::to_string(times.size) + " entries).");
}

// Times of the neighbours of one edge type, with the id check folded into
// every read.
struct NeighborTimes {
  Int64View row;
  Int64View times;
  const std::string* node_type;

  int64_t at(int64_t position) const {
    const int64_t id = row[position];
    if (!times.contains(id)) throw_bad_time_id(*node_type, id, times);
    return times[id];
  }

  // First position q in [first, last) with x < time(q), or last; the exact
  // bisection of an upper-bound search, so unsorted input gives a fixed
  // answer too.
  int64_t upper_bound(int64_t first, int64_t last, int64_t x) const {
    int64_t count = last - first;
    while (count > 0) {
      const int64_t half = count / 2;
      const int64_t mid = first + half;
      if (x < at(mid)) {
        count = half;
      } else {
        first = mid + 1;
        count -= half + 1;
      }
    }
    return first;
  }
};

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_NEIGHBOR_TIMES_H_
