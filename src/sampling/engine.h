// The sampling engine: grows one subgraph per seed, hop by hop and edge type
// by edge type, over a GraphStore, under the budgets of a SampleRequest.
//
//   SamplingEngine engine(/*seed=*/123);
//   if (engine.run(store, request) == RunStatus::kComplete) use(engine.result());
//
// The engine owns the random generator (one MT19937, never reseeded) and
// per-call scratch whose capacity is kept from call to call. It is plain
// C++: no Python, no locks; one engine serves one call at a time.
#ifndef TOVALIB_SAMPLING_ENGINE_H_
#define TOVALIB_SAMPLING_ENGINE_H_

#include <cstdint>
#include <random>
#include <vector>

#include "sampling/local_index_map.h"
#include "sampling/request.h"
#include "sampling/taken_set.h"
#include "store/graph_store.h"

namespace tovalib {

// What one call produced, indexed by node type or edge type position. Valid
// until the next call of run().
struct SampleResult {
  std::vector<std::vector<int64_t>> rows;       // per edge type: local source index
  std::vector<std::vector<int64_t>> cols;       // per edge type: local destination index
  std::vector<std::vector<int64_t>> num_edges;  // per edge type: edges per hop
  std::vector<std::vector<int64_t>> nodes;      // per node type: global id, local index order
  std::vector<std::vector<int64_t>> batches;    // per node type: seed index of each node
  std::vector<std::vector<int64_t>> num_nodes;  // per node type: seeds, then added per hop
};

enum class RunStatus {
  kComplete,
  kStopped,  // reached the request's stop step; the caller raises its error
};

class SamplingEngine {
 public:
  // `seed` is taken as its 32-bit two's-complement pattern.
  explicit SamplingEngine(uint32_t seed) : generator_(seed) {}

  // Samples `request` over `store`. Throws std::runtime_error for malformed
  // graph data met on the way (ids out of range, unsorted temporal
  // neighbourhoods) and std::out_of_range when an edge type names an
  // undeclared node type; draws made before a failure stay drawn.
  RunStatus run(const GraphStore& store, const SampleRequest& request);

  const SampleResult& result() const { return result_; }
  std::mt19937& generator() { return generator_; }

 private:
  struct Frontier {
    int64_t begin = 0;
    int64_t end = 0;
  };
  // Everything one edge type's recording touches, resolved once per hop.
  struct EdgeOutput;

  void prepare(const GraphStore& store);
  bool gather_seed_times(const GraphStore& store, const SampleRequest& request);
  void expand_plain(const GraphStore& store, int64_t edge, int64_t dst, Frontier fr,
                    int64_t k, EdgeOutput& out);
  void expand_temporal(const GraphStore& store, int64_t edge, int64_t src, int64_t dst,
                       Frontier fr, const Budget& budget, EdgeOutput& out);
  void select_random(int64_t begin, int64_t n, int64_t k, EdgeOutput& out);

  std::mt19937 generator_;
  SampleResult result_;
  std::vector<LocalIndexMap> maps_;
  std::vector<Frontier> frontier_;
  std::vector<int64_t> seed_time_buffer_;
  const int64_t* seed_times_ = nullptr;
  int64_t num_seed_times_ = 0;
  TakenSet taken_;
};

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_ENGINE_H_
