// A fully read `sample` request: everything the hop loop needs, as plain
// values, so that sampling runs without touching Python.
//
//   SampleRequest req;
//   req.entity = 0; req.seeds = {3, 5}; req.num_hops = 2;
//   req.budgets = {Budget::Count(10), Budget::Count(5)};  // one edge type
#ifndef TOVALIB_SAMPLING_REQUEST_H_
#define TOVALIB_SAMPLING_REQUEST_H_

#include <cstdint>
#include <vector>

namespace tovalib {

// The budget of one edge type in one hop: a neighbour count (negative: all,
// zero: none) or a time window relative to the seed's time.
struct Budget {
  enum class Kind : uint8_t { kCount, kWindow };
  Kind kind = Kind::kCount;
  bool has_lower = false;  // windows: without a lower offset the window is open below
  int64_t count = 0;
  int64_t lower = 0;  // offsets added to the seed's time; window is (lower, upper]
  int64_t upper = 0;

  static Budget Count(int64_t k) {
    Budget b;
    b.count = k;
    return b;
  }
  static Budget Window(int64_t upper) {
    Budget b;
    b.kind = Kind::kWindow;
    b.upper = upper;
    return b;
  }
  static Budget Window(int64_t lower, int64_t upper) {
    Budget b = Window(upper);
    b.has_lower = true;
    b.lower = lower;
    return b;
  }
};

struct SampleRequest {
  int64_t entity = 0;            // node type index of the seeds
  std::vector<int64_t> seeds;    // global ids; seed i has batch i and local index i
  // One time per seed, or empty: then seeds take their own node time when the
  // entity type has one. Only consulted when the store has node times, and
  // then it is either empty or as long as `seeds`.
  std::vector<int64_t> seed_times;
  int64_t num_hops = 0;
  std::vector<Budget> budgets;   // num_hops * num_edge_types, hop-major
  // Where reading the budgets failed. The hop loop stops at that step, after
  // the step's own bookkeeping, and the caller raises the reading error, so
  // the generator holds exactly the draws made before it.
  int64_t stop_hop = -1;
  int64_t stop_edge = -1;
};

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_REQUEST_H_
