// What an engine keeps of a big call's result once a small call follows:
// the result lists hold only what the small call wrote, not the big call's
// buffers. Exit status 0 when that holds.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "sampling/engine.h"
#include "store/graph_store.h"

int main() {
  using namespace tovalib;
  // One hub with 4M neighbours: taking them all writes 64 MiB of rows and cols.
  const int64_t n = int64_t{4} << 20;
  std::vector<int64_t> colptr = {0, n};
  std::vector<int64_t> row(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) row[static_cast<size_t>(i)] = i % 1000;
  GraphStore store({"a"}, {{"a", "r", "a"}});
  store.set_edge_arrays(0, {colptr.data(), 2}, {row.data(), n});
  SamplingEngine engine(1);
  for (int64_t budget : {int64_t{-1}, int64_t{0}}) {
    SampleRequest request;
    request.entity = 0;
    request.seeds = {0};
    request.num_hops = 1;
    request.budgets = {Budget::Count(budget)};
    if (engine.run(store, request) != RunStatus::kComplete) return 2;
    // A recycled result comes back with the buffers it was taken with.
    engine.recycle_result(engine.take_result());
  }
  size_t kept = 0;
  for (const auto* lists : {&engine.result().rows, &engine.result().cols}) {
    for (const auto& l : *lists) kept += l.capacity() * sizeof(int64_t);
  }
  if (kept > (size_t{1} << 20)) {
    std::printf("FAILED: %zu bytes of result buffers kept after a call that wrote none\n", kept);
    return 1;
  }
  return 0;
}
