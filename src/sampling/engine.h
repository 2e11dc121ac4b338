// The sampling engine: grows one subgraph per seed, hop by hop and edge type
// by edge type, over a GraphStore, under the budgets of a SampleRequest.
//
//   SamplingEngine engine(/*seed=*/123);
//   if (engine.run(store, request) == RunStatus::kComplete) use(engine.result());
//
// The engine owns the random generator (one MT19937, never reseeded),
// per-call scratch whose capacity is kept from call to call (within limits:
// see scratch.h; a failed call gives all of it back), and the record of
// which temporal neighbourhoods it has found ordered by time. It is plain
// C++: no Python, no locks; one engine serves one call at a time.
#ifndef TOVALIB_SAMPLING_ENGINE_H_
#define TOVALIB_SAMPLING_ENGINE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sampling/local_index_map.h"
#include "sampling/mt19937.h"
#include "sampling/neighbor_times.h"
#include "sampling/request.h"
#include "sampling/scratch.h"
#include "sampling/taken_set.h"
#include "store/graph_store.h"

namespace tovalib {

// What one call produced, indexed by node type or edge type position. Valid
// after a completed run() until the next call of run() or take_result();
// empty after a failed run().
struct SampleResult {
  std::vector<Int64List> rows;       // per edge type: local source index
  std::vector<Int64List> cols;       // per edge type: local destination index
  std::vector<Int64List> num_edges;  // per edge type: edges per hop
  std::vector<Int64List> nodes;      // per node type: global id, local index order
  std::vector<Int64List> batches;    // per node type: seed index of each node
  std::vector<Int64List> num_nodes;  // per node type: seeds, then added per hop
};

enum class RunStatus {
  kComplete,
  kStopped,  // reached the request's stop step; the caller raises its error
};

class SamplingEngine {
 public:
  // `seed` is taken as its 32-bit two's-complement pattern.
  explicit SamplingEngine(uint32_t seed);
  ~SamplingEngine();
  SamplingEngine(const SamplingEngine&) = delete;
  SamplingEngine& operator=(const SamplingEngine&) = delete;

  // Samples `request` over `store`. Throws std::runtime_error for malformed
  // graph data met on the way (ids out of range, unsorted temporal
  // neighbourhoods) and std::out_of_range when an edge type names an
  // undeclared node type; draws made before a failure stay drawn, and so do
  // the neighbourhoods verified before it. An engine serves one store.
  RunStatus run(const GraphStore& store, const SampleRequest& request);

  const SampleResult& result() const { return result_; }
  // Moves the result out, so that it outlives the next call.
  SampleResult take_result() { return std::move(result_); }
  // Takes back a result taken earlier, once read, so that the next call
  // fills its buffers instead of growing new ones.
  void recycle_result(SampleResult spent) { result_ = std::move(spent); }
  Mt19937& generator() { return generator_; }

 private:
  // Frontier entries are expanded kChunk at a time (see expand_plain).
  static constexpr int64_t kChunk = 32;

  struct Frontier {
    int64_t begin = 0;
    int64_t end = 0;
  };
  // Everything one edge type's recording touches, resolved once per hop.
  struct EdgeOutput;

  void prepare(const GraphStore& store, size_t num_seeds);
  RunStatus run_hops(const GraphStore& store, const SampleRequest& request);
  // Scratch kept after a call: what is far beyond this call's use goes, or
  // everything after a failure.
  void release_oversized(size_t num_seeds);
  void release_all();
  // The bits of `edge`'s destination nodes whose neighbourhoods were found
  // ordered by time, allocated when the edge type is first sampled
  // temporally.
  uint64_t* verified_bits(int64_t edge, Int64View colptr);
  bool gather_seed_times(const GraphStore& store, const SampleRequest& request);
  void expand_plain(const GraphStore& store, int64_t edge, int64_t dst, Frontier fr,
                    int64_t k, EdgeOutput& out);
  void expand_temporal(const GraphStore& store, int64_t edge, int64_t src, int64_t dst,
                       Frontier fr, const Budget& budget, EdgeOutput& out);

  // One temporal edge type in one hop, as expand_temporal resolved it.
  struct TemporalEdge {
    const std::string* key;
    Int64View colptr;
    NeighborTimes times;
    const Budget& budget;
    int64_t dst;
    bool is_window;
    uint64_t* verified;  // see verified_bits()
  };
  void expand_temporal_each(const TemporalEdge& te, int64_t from, int64_t to,
                            EdgeOutput& out);

  // One upper-bound search over [first, first + count) for value x; when
  // done, first is the result.
  struct Search {
    int64_t first;
    int64_t count;
    int64_t x;
  };
  bool bisect_chunk(const NeighborTimes& times, Search* searches, int64_t m);
  // A search over a neighbourhood that is in time order (or is verified
  // before its result is used): the answer lies in (lo, hi]. t_lo and t_hi
  // are the times read at lo and hi; until one is read, lo = begin - 1 or
  // hi = end stand for the outside of the range.
  struct OrderedSearch {
    int64_t lo;
    int64_t hi;
    int64_t t_lo;
    int64_t t_hi;
    int64_t x;
    bool lo_read;
    bool hi_read;
    int8_t misses;  // interpolations in a row that left more than half the range
  };
  struct TemporalChunk;
  bool search_ordered_chunk(const NeighborTimes& times, TemporalChunk& tc, int64_t m);
  // A chunk entry's neighbourhood, where its last search starts, and the
  // upper time of a window (or the seed time for counts).
  struct TemporalRange {
    int64_t begin;
    int64_t end;
    int64_t start;
    int64_t upper;
    int64_t node;
  };
  // The searches of one chunk of frontier entries; not well formed when an
  // entry's neighbourhood could not be read.
  struct TemporalChunk {
    Search searches[kChunk];
    TemporalRange ranges[kChunk];
    OrderedSearch ordered[kChunk];
    bool well_formed;
    bool maybe_unverified;  // some entry's bit was clear when the chunk was primed
  };
  // Verifies, in entry order, the not yet verified neighbourhoods of a well
  // formed chunk; false (and nothing raised) at the first that fails.
  bool verify_chunk(const TemporalEdge& te, const TemporalChunk& tc, int64_t m);

  // Longest whole neighbourhood whose positions are listed in picks_.
  static constexpr int64_t kMaxBuffered = 64;
  // What one chunk entry records: the positions begin..end of row when
  // `whole`, else the entries picks[begin, end) of its chunk's plan: row
  // positions once selected, neighbour ids once gathered.
  struct Span {
    int64_t begin;
    int64_t end;
    bool whole;
  };
  // The selections of one chunk of frontier entries, awaiting recording.
  struct ChunkPlan {
    Int64List picks;  // a buffer: its size only grows, spans say what is used
    Span spans[kChunk];

    // Where `extra` picks go after the first `used`.
    int64_t* room(int64_t used, int64_t extra) {
      const auto need = static_cast<size_t>(used + extra);
      if (need > picks.size()) picks.resize(std::max(need, 2 * picks.size()));
      return picks.data() + used;
    }
  };

  // The buffers a call works in. Nothing in them carries over into a
  // result: every call starts by resetting what it reads. They are kept
  // from call to call and, when an engine goes, handed to the next engine
  // built (a loader builds one per batch), so that a new engine's first call
  // does not pay for growing them afresh.
  struct Scratch {
    SampleResult result;
    std::vector<LocalIndexMap> maps;
    std::vector<int64_t> seed_time_buffer;
    TakenSet taken;
    ChunkPlan plans[3];
    TemporalChunk tchunks[3];

    size_t bytes() const;
  };
  // Scratch of engines gone, waiting for the next ones; a few at most.
  struct ScratchPool {
    std::mutex mutex;
    std::vector<std::unique_ptr<Scratch>> free;
  };
  static constexpr size_t kPooledScratch = 8;
  // A scratch holding more than this goes with its engine instead.
  static constexpr size_t kPooledScratchBytes = size_t{64} << 20;
  static ScratchPool& scratch_pool();
  static std::unique_ptr<Scratch> take_scratch();
  static void give_scratch(std::unique_ptr<Scratch> scratch);

  Mt19937 generator_;
  std::unique_ptr<Scratch> scratch_;
  // The parts of *scratch_.
  SampleResult& result_;
  std::vector<LocalIndexMap>& maps_;
  std::vector<int64_t>& seed_time_buffer_;
  TakenSet& taken_;
  ChunkPlan (&plans_)[3];        // chunks being recorded, gathered and selected
  TemporalChunk (&tchunks_)[3];  // chunks being processed, primed and planned
  std::vector<Frontier> frontier_;
  // One time per seed (at least as many as seeds) while a call is temporal.
  const int64_t* seed_times_ = nullptr;
  // Per edge type, one bit per destination node: set once that node's
  // neighbourhood was read whole and found ordered by time. Kept for the
  // engine's lifetime; writes into the arrays afterwards go unnoticed.
  std::vector<std::vector<uint64_t>> verified_;
};

}  // namespace tovalib

#endif  // TOVALIB_SAMPLING_ENGINE_H_
