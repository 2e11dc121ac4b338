// libFuzzer target for the sampling core: the input bytes describe a
// heterogeneous graph (possibly malformed: bad colptr, ids out of range,
// short time arrays, unsorted neighbourhoods, undeclared node types) and a
// sequence of SampleRequests, which are fed to SamplingEngine::run
// directly, without Python, and to a plain reference model of the same
// rules (reference_engine.h).
//
// Besides small hand-shaped arrays, an input can ask for generated node
// types of up to a thousand nodes, generated edge types with neighbourhoods
// of up to 40 entries (sorted by time, with one chosen defect) and hundreds
// of seeds, so that frontiers span many of the engine's chunks and per-seed
// tables grow.
//
// What must hold for every input, call after call on one engine:
//   - the engine's outcome equals the reference's: the same six result
//     lists, or the same exception type and message, or the same stop;
//   - the generator is in the reference's state after every call;
//   - a completed result is consistent with the graph on its own terms;
//   - the call after a failure gives what an engine that never failed
//     gives, from the same generator state. Every failed call is followed
//     by the same request cut before its failing hop, which usually
//     completes on whatever scratch the failure left behind.
// Anything else (another exception, a sanitizer report) is a crash.
//
//   fuzz/build.sh && build/fuzz/fuzz_engine fuzz/corpus
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "reference_engine.h"
#include "sampling/engine.h"
#include "sampling/request.h"
#include "store/graph_store.h"

namespace {

using fuzz::ReferenceGraph;
using fuzz::ReferenceSampler;
using tovalib::Budget;
using tovalib::GraphStore;
using tovalib::Int64View;
using tovalib::RunStatus;
using tovalib::SampleRequest;
using tovalib::SampleResult;
using tovalib::SamplingEngine;

// Most recorded edges (and neighbour reads) the reference may spend on one
// call; bigger inputs are skipped, to keep a run at many inputs a second.
constexpr int64_t kWorkLimit = int64_t{1} << 17;

// Reads the input front to back; past the end every read gives zero.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  size_t word() {
    const size_t low = byte();
    return low | (size_t{byte()} << 8);
  }

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

// splitmix64 of (a, b): the generated graphs' source of variety.
uint64_t mix(uint64_t a, uint64_t b) {
  uint64_t z = a * 0x9E3779B97F4A7C15ULL + b + 0x632BE59BD9B4E019ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

int64_t wrapping_add(int64_t a, uint64_t b) {
  const uint64_t sum = static_cast<uint64_t>(a) + b;
  int64_t out;
  std::memcpy(&out, &sum, sizeof out);
  return out;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

void check_result(const GraphStore& store, const ReferenceGraph& graph, const SampleRequest& req,
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

// How one call ended.
struct Outcome {
  enum Kind { kComplete, kStopped, kRuntimeError, kOutOfRange } kind;
  std::string message;
};

const char* kind_name(Outcome::Kind kind) {
  switch (kind) {
    case Outcome::kComplete:
      return "complete";
    case Outcome::kStopped:
      return "stopped";
    case Outcome::kRuntimeError:
      return "runtime_error";
    case Outcome::kOutOfRange:
    default:
      return "out_of_range";
  }
}

// Only the documented exception types may escape run().
Outcome run_engine(SamplingEngine& engine, const GraphStore& store, const SampleRequest& req) {
  try {
    const RunStatus status = engine.run(store, req);
    return {status == RunStatus::kComplete ? Outcome::kComplete : Outcome::kStopped, {}};
  } catch (const std::out_of_range& e) {
    return {Outcome::kOutOfRange, e.what()};
  } catch (const std::runtime_error& e) {
    return {Outcome::kRuntimeError, e.what()};
  }
}

// Throws fuzz::TooMuchWork when the call is too big to run.
Outcome run_reference(ReferenceSampler& ref, const SampleRequest& req) {
  try {
    return {ref.run(req) ? Outcome::kComplete : Outcome::kStopped, {}};
  } catch (const std::out_of_range& e) {
    return {Outcome::kOutOfRange, e.what()};
  } catch (const std::runtime_error& e) {
    return {Outcome::kRuntimeError, e.what()};
  }
}

void compare_lists(const std::vector<tovalib::Int64List>& got,
                   const std::vector<tovalib::Int64List>& want, const char* name) {
  if (got == want) return;
  std::fprintf(stderr, "%s differs from the reference\n", name);
  for (size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
    auto dump = [&](const char* who, const std::vector<tovalib::Int64List>& lists) {
      std::fprintf(stderr, "  %s[%zu]:", who, i);
      if (i < lists.size()) {
        for (size_t j = 0; j < std::min<size_t>(lists[i].size(), 40); ++j) {
          std::fprintf(stderr, " %lld", static_cast<long long>(lists[i][j]));
        }
        if (lists[i].size() > 40) std::fprintf(stderr, " ... (%zu)", lists[i].size());
      }
      std::fprintf(stderr, "\n");
    };
    dump("engine", got);
    dump("reference", want);
  }
  fail("result differs from the reference");
}

// Whether the engine's generator gives the outputs of the reference's from
// here on: 624 consecutive outputs fix all later ones.
bool same_sequence(tovalib::Mt19937 engine, std::mt19937 reference) {
  for (int i = 0; i < 624; ++i) {
    if (engine() != reference()) return false;
  }
  return true;
}

// The engine's call, its result and its generator against the reference's.
void compare(const char* who, const Outcome& got, SamplingEngine& engine, const Outcome& want,
             const ReferenceSampler& ref) {
  if (got.kind != want.kind || got.message != want.message) {
    std::fprintf(stderr, "%s: %s \"%s\", reference: %s \"%s\"\n", who, kind_name(got.kind),
                 got.message.c_str(), kind_name(want.kind), want.message.c_str());
    fail("outcome differs from the reference");
  }
  if (!same_sequence(engine.generator(), ref.generator())) {
    std::fprintf(stderr, "%s: generator state after a %s call\n", who, kind_name(got.kind));
    fail("generator differs from the reference");
  }
  if (got.kind != Outcome::kComplete) return;
  const SampleResult& a = engine.result();
  const SampleResult& b = ref.result();
  compare_lists(a.rows, b.rows, "rows");
  compare_lists(a.cols, b.cols, "cols");
  compare_lists(a.num_edges, b.num_edges, "num_edges");
  compare_lists(a.nodes, b.nodes, "nodes");
  compare_lists(a.batches, b.batches, "batches");
  compare_lists(a.num_nodes, b.num_nodes, "num_nodes");
}

// Node type sizes used by generated edge types and seeds.
struct TypeInfo {
  int64_t size = 8;
};

// Neighbourhoods of a generated edge type: every destination node gets up
// to max_degree neighbours among the source type's nodes, sorted by their
// time when the source type has times, then one defect chosen by `defect`.
void generate_edges(Reader& in, const ReferenceGraph& graph, size_t src, int64_t num_src,
                    int64_t num_dst, std::vector<int64_t>& colptr, std::vector<int64_t>& row) {
  const uint64_t max_degree = in.byte() % 41;
  const uint64_t salt = in.byte();
  const uint8_t defect = in.byte();
  const auto where = static_cast<int64_t>(in.word() % static_cast<size_t>(num_dst));
  const std::vector<int64_t>* times = graph.has_time[src] ? &graph.times[src] : nullptr;
  auto time_key = [&](int64_t id) {
    // Ids without a time sort last.
    const bool known = times != nullptr && id >= 0 && id < static_cast<int64_t>(times->size());
    return std::make_pair(!known, known ? (*times)[static_cast<size_t>(id)] : 0);
  };
  colptr.push_back(0);
  for (int64_t v = 0; v < num_dst; ++v) {
    const uint64_t degree = mix(uint64_t(v), salt) % (max_degree + 1);
    const size_t first = row.size();
    for (uint64_t j = 0; j < degree; ++j) {
      row.push_back(static_cast<int64_t>(mix(uint64_t(v) * 64 + j, salt ^ 0xA5) %
                                         static_cast<uint64_t>(num_src)));
    }
    auto b = row.begin() + static_cast<std::ptrdiff_t>(first);
    if ((defect & 7) == 7) {
      // Sorted by id instead of time.
      std::sort(b, row.end(), [](int64_t x, int64_t y) { return x > y; });
    } else {
      std::stable_sort(b, row.end(),
                       [&](int64_t x, int64_t y) { return time_key(x) < time_key(y); });
    }
    colptr.push_back(static_cast<int64_t>(row.size()));
  }
  const auto at = static_cast<size_t>(where);
  const int64_t begin = colptr[at];
  const int64_t end = colptr[at + 1];
  auto nb = row.begin() + begin;
  switch (defect & 7) {
    case 1:  // reversed
      std::reverse(nb, row.begin() + end);
      break;
    case 2: {
      // Two inner neighbours swapped, the ends left in order; with 0x08 in
      // every neighbourhood, not just at `where`.
      const size_t last_node = (defect & 8) ? colptr.size() - 2 : at;
      for (size_t u = (defect & 8) ? 0 : at; u <= last_node; ++u) {
        const auto b = static_cast<size_t>(colptr[u]);
        if (colptr[u + 1] - colptr[u] >= 4) std::swap(row[b + 1], row[b + 2]);
      }
      break;
    }
    case 3:  // a neighbour id out of range
      if (end > begin) row[size_t(end - 1)] = (defect & 8) ? -1 : num_src + (defect >> 4);
      break;
    case 4:  // a range that ends before it begins
      colptr[at + 1] = begin - 1 - (defect >> 4);
      break;
    case 5:  // colptr too short for the later nodes
      colptr.resize(at + 1);
      break;
    case 6:  // row too short for the last neighbourhoods
      row.resize(row.size() - std::min<size_t>(row.size(), size_t{1} + (defect >> 4)));
      break;
    default:
      break;
  }
}

// Times of a generated node type, by `mode`: scattered, rising with the id,
// few distinct values, or near the int64 limits.
std::vector<int64_t> generate_times(int64_t size, uint8_t mode, uint64_t salt) {
  std::vector<int64_t> times;
  for (int64_t i = 0; i < size; ++i) {
    const uint64_t h = mix(uint64_t(i), salt);
    switch (mode & 3) {
      case 0:
        times.push_back(static_cast<int64_t>(h % uint64_t(4 * size)));
        break;
      case 1:
        times.push_back(i);
        break;
      case 2:
        times.push_back(static_cast<int64_t>(h % 4));
        break;
      default:
        times.push_back((h & 1) ? std::numeric_limits<int64_t>::max() - int64_t(h % 8)
                                : std::numeric_limits<int64_t>::min() + int64_t(h % 8));
        break;
    }
  }
  return times;
}

SampleRequest read_request(Reader& in, const GraphStore& store, const std::vector<TypeInfo>& info) {
  const auto num_types = static_cast<size_t>(store.num_node_types());
  const auto num_edges = static_cast<size_t>(store.num_edge_types());
  SampleRequest req;
  req.entity = in.byte() % int64_t(num_types);
  const uint8_t sb = in.byte();
  if (sb & 0x80) {
    // Hundreds of seeds stepping through the entity's ids; with 0x40 a few
    // ids past its end.
    const size_t n = in.word() % 513;
    const int64_t start = in.value();
    const int64_t step = 1 + in.byte() % 5;
    const int64_t m = info[static_cast<size_t>(req.entity)].size + ((sb & 0x40) ? 2 : 0);
    for (size_t i = 0; i < n; ++i) {
      const int64_t x = (start % m + int64_t(i) * step) % m;
      req.seeds.push_back(x < 0 ? x + m : x);
    }
  } else {
    for (size_t i = 0; i < size_t(sb % 7); ++i) req.seeds.push_back(in.value());
  }
  const size_t num_seeds = req.seeds.size();
  const uint8_t st = in.byte();
  if (st & 1) {
    // As the binding guarantees: no seed times, or one per seed (any
    // length when no node type has times).
    const size_t n = store.has_any_node_time() ? num_seeds : (st >> 2) % 5;
    if (st & 2) {
      const int64_t base = in.value();
      const uint64_t span = 1 + uint64_t{in.byte()} * 8;
      for (size_t i = 0; i < n; ++i) {
        req.seed_times.push_back(wrapping_add(base, mix(i, st) % span));
      }
    } else {
      for (size_t i = 0; i < n; ++i) req.seed_times.push_back(in.value());
    }
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
  return req;
}

// With FUZZ_TRACE set, every call's outcome and size goes to stderr, and
// the largest frontier and per-seed node count met are printed at exit:
// how one sees what a corpus reaches.
struct Trace {
  bool on = std::getenv("FUZZ_TRACE") != nullptr;
  int64_t max_frontier = 0;
  int64_t max_per_seed = 0;
  int64_t calls = 0;
  int64_t failures = 0;
  int64_t completed_after_failure = 0;
  int64_t too_big = 0;

  Trace() {
    if (on) std::atexit([] { instance().print(); });
  }
  static Trace& instance() {
    static Trace trace;
    return trace;
  }
  void print() const {
    std::fprintf(stderr, "calls %lld, failed %lld, completed after a failure %lld, skipped as "
                 "too big %lld, largest frontier %lld, most nodes of one type in one seed %lld\n",
                 static_cast<long long>(calls), static_cast<long long>(failures),
                 static_cast<long long>(completed_after_failure),
                 static_cast<long long>(too_big),
                 static_cast<long long>(max_frontier), static_cast<long long>(max_per_seed));
  }

  void call(const SampleRequest& req, const Outcome& outcome, const SampleResult& res,
            bool after_failure) {
    if (!on) return;
    ++calls;
    if (after_failure && outcome.kind == Outcome::kComplete) ++completed_after_failure;
    int64_t frontier = static_cast<int64_t>(req.seeds.size());
    int64_t per_seed = 0;
    if (outcome.kind == Outcome::kComplete) {
      for (size_t t = 0; t < res.num_nodes.size(); ++t) {
        for (int64_t c : res.num_nodes[t]) frontier = std::max(frontier, c);
        std::vector<int64_t> count(req.seeds.size());
        for (int64_t b : res.batches[t]) per_seed = std::max(per_seed, ++count[size_t(b)]);
      }
    } else {
      ++failures;
    }
    max_frontier = std::max(max_frontier, frontier);
    max_per_seed = std::max(max_per_seed, per_seed);
    std::fprintf(stderr,
                 "call: %zu seeds, %lld hops: %s %s; largest frontier %lld, per seed %lld\n",
                 req.seeds.size(), static_cast<long long>(req.num_hops), kind_name(outcome.kind),
                 outcome.message.c_str(), static_cast<long long>(frontier),
                 static_cast<long long>(per_seed));
  }
};

// One engine and the reference, call after call on one graph.
struct Session {
  const GraphStore& store;
  const ReferenceGraph& graph;
  SamplingEngine engine;
  ReferenceSampler ref;
  // After a failed call: an engine that never ran, at the same generator
  // state, for the next call.
  std::unique_ptr<SamplingEngine> fresh;

  // Runs `req` on the engine (and the fresh one) and the reference and
  // compares them; false when the call is too big to run.
  bool call(const SampleRequest& req) {
    Outcome want;
    try {
      want = run_reference(ref, req);
    } catch (const fuzz::TooMuchWork&) {
      ++Trace::instance().too_big;
      return false;
    }
    const Outcome got = run_engine(engine, store, req);
    Trace::instance().call(req, want, ref.result(), fresh != nullptr);
    compare("engine", got, engine, want, ref);
    if (fresh) {
      const Outcome again = run_engine(*fresh, store, req);
      compare("fresh engine", again, *fresh, want, ref);
      fresh.reset();
    }
    if (got.kind == Outcome::kComplete) {
      check_result(store, graph, req, engine.result());
    } else {
      fresh = std::make_unique<SamplingEngine>(0u);
      fresh->generator() = engine.generator();
    }
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const size_t num_types = 1 + in.byte() % 3;
  ReferenceGraph graph;
  for (size_t t = 0; t < num_types; ++t) graph.node_types.push_back("t" + std::to_string(t));

  // Edge types; a type index equal to num_types names an undeclared type.
  const size_t num_edges = in.byte() % 5;
  std::vector<tovalib::EdgeType> edge_types;
  std::vector<size_t> src_of, dst_of;
  for (size_t e = 0; e < num_edges; ++e) {
    const size_t src = in.byte() % (num_types + 1);
    const size_t dst = in.byte() % (num_types + 1);
    src_of.push_back(src);
    dst_of.push_back(dst);
    const tovalib::EdgeType et{src < num_types ? graph.node_types[src] : "undeclared",
                               "r" + std::to_string(e),
                               dst < num_types ? graph.node_types[dst] : "undeclared"};
    edge_types.push_back(et);
    graph.edge_types.push_back({et.src, et.relation, et.dst});
  }

  // Node types: a few hand-made times, or a generated type of up to 1024
  // nodes with generated times (with 0x08 a few entries short).
  std::vector<TypeInfo> info(num_types);
  graph.times.resize(num_types);
  graph.has_time.resize(num_types);
  for (size_t t = 0; t < num_types; ++t) {
    const uint8_t b = in.byte();
    graph.has_time[t] = b & 1;
    if (b & 0x80) {
      info[t].size = 1 + static_cast<int64_t>(in.word() % 1024);
      auto times = generate_times(info[t].size, static_cast<uint8_t>(b >> 1), in.byte());
      if (b & 0x08) {
        const size_t missing = 1 + ((b >> 4) & 3) % 3;
        times.resize(times.size() - std::min(times.size(), missing));
      }
      graph.times[t] = std::move(times);
    } else {
      for (size_t i = 0; i < size_t(b >> 1) % 9; ++i) graph.times[t].push_back(in.value());
    }
  }

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
    } else if (shape >= 0xc0) {
      const size_t src = src_of[e] < num_types ? src_of[e] : 0;
      const int64_t num_src = src_of[e] < num_types ? info[src_of[e]].size : 8;
      const int64_t num_dst = dst_of[e] < num_types ? info[dst_of[e]].size : 8;
      generate_edges(in, graph, src, num_src, num_dst, colptr, row);
    } else {
      const size_t colptr_len = shape % 9;
      for (size_t i = 0; i < colptr_len; ++i) colptr.push_back(in.value());
      const size_t row_len = in.byte() % 12;
      for (size_t i = 0; i < row_len; ++i) row.push_back(in.value());
    }
    graph.colptr.push_back(std::move(colptr));
    graph.row.push_back(std::move(row));
  }

  // Node and edge type names are fixed above, so keys never collide.
  GraphStore store(graph.node_types, edge_types);
  for (size_t e = 0; e < num_edges; ++e) {
    store.set_edge_arrays(int64_t(e),
                          Int64View{graph.colptr[e].data(), int64_t(graph.colptr[e].size())},
                          Int64View{graph.row[e].data(), int64_t(graph.row[e].size())});
  }
  for (size_t t = 0; t < num_types; ++t) {
    if (!graph.has_time[t]) continue;
    store.set_node_time(int64_t(t),
                        Int64View{graph.times[t].data(), int64_t(graph.times[t].size())});
  }

  const auto seed = static_cast<uint32_t>(in.value());
  Session session{store, graph, SamplingEngine(seed), ReferenceSampler(graph, seed, kWorkLimit),
                  nullptr};
  const size_t num_calls = 1 + in.byte() % 3;
  SampleRequest req;
  for (size_t call = 0; call < num_calls; ++call) {
    req = read_request(in, store, info);
    if (!session.call(req)) return 0;
    if (!session.fresh) continue;
    // The same request cut before the hop that failed: it mostly completes,
    // on whatever scratch the failure left behind.
    SampleRequest cut = req;
    cut.num_hops = session.ref.last_hop();
    cut.budgets.resize(static_cast<size_t>(cut.num_hops) * num_edges);
    if (cut.stop_hop >= cut.num_hops) cut.stop_hop = cut.stop_edge = -1;
    if (!session.call(cut)) return 0;
  }
  // A failure at the end: the failed request once more.
  if (session.fresh) session.call(req);
  return 0;
}
