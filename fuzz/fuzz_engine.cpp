// libFuzzer target for the sampling core: the input bytes describe a small
// heterogeneous graph (possibly malformed: bad colptr, ids out of range,
// short time arrays, undeclared node types) and a SampleRequest, which are
// fed to SamplingEngine::run directly, without Python.
//
// What must hold for every input:
//   - run() either throws std::runtime_error / std::out_of_range, or returns
//     a result whose counts add up, whose row/col indices lie inside the
//     node lists, and whose edges are real edges of the graph;
//   - two engines with the same seed give identical results;
//   - an engine that failed once still returns a consistent result.
// Anything else (another exception, a sanitizer report) is a crash.
//
//   fuzz/build.sh && build/fuzz/fuzz_engine fuzz/corpus
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "sampling/engine.h"
#include "sampling/request.h"
#include "store/graph_store.h"

namespace {

using tovalib::Budget;
using tovalib::GraphStore;
using tovalib::Int64View;
using tovalib::RunStatus;
using tovalib::SampleRequest;
using tovalib::SampleResult;
using tovalib::SamplingEngine;

// Reads the input front to back; past the end every read gives zero.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  // Mostly small values around the ids in use; 0xff escapes to a full
  // 64-bit value so the extremes show up too.
  int64_t value() {
    const uint8_t b = byte();
    if (b == 0xff) {
      uint64_t v = 0;
      for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
      int64_t out;
      std::memcpy(&out, &v, sizeof out);
      return out;
    }
    return static_cast<int64_t>(b % 20) - 2;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

// The graph's arrays live here; the store holds views into them.
struct Graph {
  std::vector<std::vector<int64_t>> colptr, row, times;
};

void check_result(const GraphStore& store, const Graph& graph, const SampleRequest& req,
                  const SampleResult& res) {
  const auto num_types = static_cast<size_t>(store.num_node_types());
  const auto num_edges = static_cast<size_t>(store.num_edge_types());
  const auto hops = static_cast<size_t>(req.num_hops);
  check(res.nodes.size() == num_types && res.batches.size() == num_types &&
            res.num_nodes.size() == num_types,
        "node result per node type");
  check(res.rows.size() == num_edges && res.cols.size() == num_edges &&
            res.num_edges.size() == num_edges,
        "edge result per edge type");
  for (size_t t = 0; t < num_types; ++t) {
    check(res.num_nodes[t].size() == hops + 1, "num_nodes has hops + 1 entries");
    int64_t sum = 0;
    for (int64_t c : res.num_nodes[t]) {
      check(c >= 0, "negative node count");
      sum += c;
    }
    check(static_cast<size_t>(sum) == res.nodes[t].size(), "node counts sum to nodes");
    check(res.batches[t].size() == res.nodes[t].size(), "one batch per node");
    for (int64_t b : res.batches[t]) {
      check(b >= 0 && static_cast<size_t>(b) < req.seeds.size(), "batch is a seed index");
    }
  }
  const auto entity = static_cast<size_t>(req.entity);
  for (size_t i = 0; i < req.seeds.size(); ++i) {
    check(res.nodes[entity][i] == req.seeds[i] && res.batches[entity][i] == int64_t(i),
          "seeds come first");
  }
  for (size_t e = 0; e < num_edges; ++e) {
    check(res.num_edges[e].size() == hops, "num_edges has one entry per hop");
    int64_t sum = 0;
    for (int64_t c : res.num_edges[e]) sum += c;
    check(res.rows[e].size() == res.cols[e].size(), "rows and cols pair up");
    check(static_cast<size_t>(sum) == res.rows[e].size(), "edge counts sum to edges");
    if (res.rows[e].empty()) continue;
    const auto src = static_cast<size_t>(store.src_index(static_cast<int64_t>(e)));
    const auto dst = static_cast<size_t>(store.dst_index(static_cast<int64_t>(e)));
    const auto& colptr = graph.colptr[e];
    const auto& row = graph.row[e];
    for (size_t i = 0; i < res.rows[e].size(); ++i) {
      const int64_t r = res.rows[e][i];
      const int64_t c = res.cols[e][i];
      check(r >= 0 && static_cast<size_t>(r) < res.nodes[src].size(), "row inside node list");
      check(c >= 0 && static_cast<size_t>(c) < res.nodes[dst].size(), "col inside node list");
      check(res.batches[src][size_t(r)] == res.batches[dst][size_t(c)], "edge within one seed");
      // The destination was expanded, so its neighbourhood passed the
      // bounds checks and can be scanned here (small ones only: the
      // generated huge ones would make this quadratic).
      const int64_t d = res.nodes[dst][size_t(c)];
      const int64_t s = res.nodes[src][size_t(r)];
      const int64_t begin = colptr[size_t(d)];
      const int64_t end = colptr[size_t(d) + 1];
      if (end - begin > 64) continue;
      bool found = false;
      for (int64_t p = begin; p < end; ++p) {
        if (row[size_t(p)] == s) found = true;
      }
      check(found, "sampled edge exists in the graph");
    }
  }
}

bool same(const SampleResult& a, const SampleResult& b) {
  return a.rows == b.rows && a.cols == b.cols && a.num_edges == b.num_edges &&
         a.nodes == b.nodes && a.batches == b.batches && a.num_nodes == b.num_nodes;
}

// Runs the request; returns whether it completed. Only the documented
// exception types may escape run().
bool run_checked(SamplingEngine& engine, const GraphStore& store, const Graph& graph,
                 const SampleRequest& req) {
  RunStatus status;
  try {
    status = engine.run(store, req);
  } catch (const std::runtime_error&) {
    return false;
  } catch (const std::out_of_range&) {
    return false;
  }
  if (status == RunStatus::kStopped) return false;
  check_result(store, graph, req, engine.result());
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const size_t num_types = 1 + in.byte() % 3;
  std::vector<std::string> names;
  for (size_t t = 0; t < num_types; ++t) names.push_back("t" + std::to_string(t));

  // Edge types; a type index equal to num_types names an undeclared type.
  const size_t num_edges = in.byte() % 5;
  std::vector<tovalib::EdgeType> edge_types;
  for (size_t e = 0; e < num_edges; ++e) {
    const size_t src = in.byte() % (num_types + 1);
    const size_t dst = in.byte() % (num_types + 1);
    edge_types.push_back({src < num_types ? names[src] : "undeclared",
                          "r" + std::to_string(e),
                          dst < num_types ? names[dst] : "undeclared"});
  }

  Graph graph;
  for (size_t e = 0; e < num_edges; ++e) {
    std::vector<int64_t> colptr, row;
    const uint8_t shape = in.byte();
    if (shape >= 0xf0) {
      // One huge neighbourhood, to reach the large-range selection paths.
      static const int64_t kSizes[] = {30, 200, 5000, (int64_t{1} << 20) + 7};
      const int64_t n = kSizes[shape % 4];
      const int64_t ids = 1 + in.byte() % 8;
      colptr = {0, n};
      row.resize(size_t(n));
      for (int64_t p = 0; p < n; ++p) row[size_t(p)] = p % ids;
    } else {
      const size_t colptr_len = shape % 9;
      for (size_t i = 0; i < colptr_len; ++i) colptr.push_back(in.value());
      const size_t row_len = in.byte() % 12;
      for (size_t i = 0; i < row_len; ++i) row.push_back(in.value());
    }
    graph.colptr.push_back(std::move(colptr));
    graph.row.push_back(std::move(row));
  }
  std::vector<bool> has_time(num_types);
  for (size_t t = 0; t < num_types; ++t) {
    const uint8_t b = in.byte();
    has_time[t] = b & 1;
    std::vector<int64_t> times;
    for (size_t i = 0; i < size_t(b >> 1) % 9; ++i) times.push_back(in.value());
    graph.times.push_back(std::move(times));
  }

  // Node and edge type names are fixed above, so keys never collide.
  GraphStore store(names, edge_types);
  for (size_t e = 0; e < num_edges; ++e) {
    store.set_edge_arrays(int64_t(e),
                          Int64View{graph.colptr[e].data(), int64_t(graph.colptr[e].size())},
                          Int64View{graph.row[e].data(), int64_t(graph.row[e].size())});
  }
  for (size_t t = 0; t < num_types; ++t) {
    if (!has_time[t]) continue;
    store.set_node_time(int64_t(t),
                        Int64View{graph.times[t].data(), int64_t(graph.times[t].size())});
  }

  SampleRequest req;
  req.entity = in.byte() % int64_t(num_types);
  const size_t num_seeds = in.byte() % 7;
  for (size_t i = 0; i < num_seeds; ++i) req.seeds.push_back(in.value());
  const uint8_t st = in.byte();
  if (st & 1) {
    // As the binding guarantees: no seed times, or one per seed (any
    // length when no node type has times).
    const size_t n = store.has_any_node_time() ? num_seeds : (st >> 1) % 5;
    for (size_t i = 0; i < n; ++i) req.seed_times.push_back(in.value());
  }
  req.num_hops = in.byte() % 4;
  for (int64_t h = 0; h < req.num_hops; ++h) {
    for (size_t e = 0; e < num_edges; ++e) {
      const uint8_t kind = in.byte();
      if (kind % 3 == 0) {
        req.budgets.push_back(Budget::Window(in.value()));
      } else if (kind % 3 == 1) {
        const int64_t lower = in.value();
        req.budgets.push_back(Budget::Window(lower, in.value()));
      } else if (kind & 0x80) {
        req.budgets.push_back(Budget::Count(int64_t(in.byte()) * 97));  // wide budgets
      } else {
        req.budgets.push_back(Budget::Count(in.value()));
      }
    }
  }
  const uint8_t stop = in.byte();
  if (stop & 1 && req.num_hops > 0 && num_edges > 0) {
    req.stop_hop = (stop >> 1) % req.num_hops;
    req.stop_edge = (stop >> 4) % int64_t(num_edges);
  }

  const auto seed = static_cast<uint32_t>(in.value());
  SamplingEngine first(seed), second(seed);
  const bool done = run_checked(first, store, graph, req);
  const bool done_again = run_checked(second, store, graph, req);
  check(done == done_again, "same input, same outcome");
  if (done && !same(first.result(), second.result())) fail("same seed, different result");
  // A second call on an engine, after success or failure, starts clean.
  run_checked(first, store, graph, req);
  return 0;
}
