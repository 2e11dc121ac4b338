// A slow, plain model of the sampling engine, for the fuzzer only: it
// expands one frontier entry at a time with standard containers, no
// chunks, no prefetching, no reused scratch, so that the engine's results,
// errors and generator state can be checked against it value by value.
//
//   ReferenceGraph graph{...};            // owns the arrays
//   ReferenceSampler ref(graph, seed);
//   if (ref.run(request)) use(ref.result());   // throws as the engine does
//
// It follows the documented rules, not the engine's code: uniform picks by
// Floyd's algorithm (one 32-bit output per pick, two for neighbourhoods
// longer than 2^32), per-seed local numbering, temporal counts and windows
// by upper-bound bisection after a full check of the neighbourhood's time
// order, and the engine's messages for malformed ids and ranges.
#ifndef TOVALIB_FUZZ_REFERENCE_ENGINE_H_
#define TOVALIB_FUZZ_REFERENCE_ENGINE_H_

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sampling/engine.h"
#include "sampling/request.h"

namespace fuzz {

struct ReferenceEdgeType {
  std::string src;
  std::string relation;
  std::string dst;
};

// The graph as plain arrays; a node type without times has has_time false.
struct ReferenceGraph {
  std::vector<std::string> node_types;
  std::vector<ReferenceEdgeType> edge_types;
  std::vector<std::vector<int64_t>> colptr;  // per edge type
  std::vector<std::vector<int64_t>> row;     // per edge type
  std::vector<std::vector<int64_t>> times;   // per node type
  std::vector<bool> has_time;                // per node type
};

// Thrown when a call would record more than the work limit: the fuzzer
// skips such inputs instead of spending seconds on each.
struct TooMuchWork {};

class ReferenceSampler {
 public:
  ReferenceSampler(const ReferenceGraph& graph, uint32_t seed, int64_t work_limit)
      : graph_(graph), generator_(seed), work_limit_(work_limit) {}

  // Samples `request`. Returns true when the call completed and false when
  // it reached the request's stop step. Throws std::runtime_error or
  // std::out_of_range with the engine's messages, or TooMuchWork.
  bool run(const tovalib::SampleRequest& request);

  const tovalib::SampleResult& result() const { return result_; }
  // The hop the last call was in when it ended (0 when it failed before
  // the first hop, the hop count when it completed).
  int64_t last_hop() const { return hop_; }
  const std::mt19937& generator() const { return generator_; }

 private:
  using Key = std::pair<int64_t, int64_t>;  // (batch, global id)

  int64_t type_index(const std::string& name) const;
  std::string edge_key(size_t edge) const;
  int64_t time_of(size_t type, int64_t id) const;
  std::pair<int64_t, int64_t> neighbourhood(size_t edge, int64_t node) const;
  void check_order(size_t edge, size_t src, int64_t node, int64_t begin, int64_t end);
  int64_t upper_bound(size_t edge, size_t src, int64_t first, int64_t last, int64_t x);
  uint64_t draw(int64_t bound);
  void record(size_t edge, size_t src, int64_t position, int64_t batch, int64_t entry_pos);
  void spend(int64_t amount);

  const ReferenceGraph& graph_;
  std::mt19937 generator_;
  int64_t work_limit_;
  int64_t work_ = 0;
  int64_t hop_ = 0;
  // Neighbourhoods (edge type, destination node) whose time order was
  // verified; kept for the sampler's lifetime.
  std::set<std::pair<size_t, int64_t>> verified_;
  // Per call.
  std::vector<std::vector<Key>> nodes_;
  std::vector<std::map<Key, int64_t>> index_;
  tovalib::SampleResult result_;
};

}  // namespace fuzz

#endif  // TOVALIB_FUZZ_REFERENCE_ENGINE_H_
