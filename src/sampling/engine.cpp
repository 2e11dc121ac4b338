#include "sampling/engine.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace tovalib {

namespace {

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

const char kUnsortedMessage[] = "Found invalid non-sorted temporal neighborhood";

// The message of a failed lookup of an undeclared node type; callers match
// on it, so it is fixed text rather than the standard library's own.
const char kUnknownTypeMessage[] = "invalid unordered_map<K, T> key";

// Window bounds clamp at the int64 limits instead of wrapping, so an offset
// of the int64 minimum means "no lower bound" whatever the seed time.
int64_t saturating_add(int64_t a, int64_t b) {
  int64_t out;
  if (__builtin_add_overflow(a, b, &out)) return b > 0 ? kInt64Max : kInt64Min;
  return out;
}

[[noreturn]] void throw_bad_node(const std::string& key, int64_t node, Int64View colptr) {
  throw std::runtime_error("Node " + std::to_string(node) + " is out of range for 'colptr' at '" +
                           key + "' (" + std::to_string(std::max<int64_t>(colptr.size - 1, 0)) +
                           " nodes).");
}

[[noreturn]] void throw_bad_range(const std::string& key, int64_t node, int64_t begin,
                                  int64_t end, Int64View row) {
  throw std::runtime_error("Invalid neighborhood [" + std::to_string(begin) + ", " +
                           std::to_string(end) + ") of node " + std::to_string(node) +
                           " in 'colptr' at '" + key + "' ('row' has " +
                           std::to_string(row.size) + " entries).");
}

[[noreturn]] void throw_bad_time_id(const std::string& node_type, int64_t node,
                                    Int64View times) {
  throw std::runtime_error("Node " + std::to_string(node) +
                           " is out of range for 'node_time' at '" + node_type + "' (" +
                           std::to_string(times.size) + " entries).");
}

// The neighbourhood [begin, end) of destination node `node`, checked against
// both arrays. Each colptr value is read once and then checked.
struct Neighborhood {
  int64_t begin;
  int64_t end;
};

Neighborhood neighborhood(const std::string& key, Int64View colptr, Int64View row,
                          int64_t node) {
  if (node < 0 || node >= colptr.size - 1) throw_bad_node(key, node, colptr);
  const int64_t begin = colptr[node];
  const int64_t end = colptr[node + 1];
  if (begin < 0 || begin > end || end > row.size) throw_bad_range(key, node, begin, end, row);
  return {begin, end};
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

}  // namespace

struct SamplingEngine::EdgeOutput {
  Int64View row;
  LocalIndexMap* map;
  std::vector<int64_t>* src_nodes;
  std::vector<int64_t>* src_batches;
  std::vector<int64_t>* rows;
  std::vector<int64_t>* cols;
  int64_t* count;
  int64_t batch = 0;      // seed of the entry being expanded
  int64_t entry_pos = 0;  // its local index

  // Records the edge at `position` of `row`: numbers the neighbour within the
  // entry's seed (a new one joins the next hop's frontier) and appends the
  // edge.
  void record(int64_t position) {
    const int64_t neighbor = row[position];
    const auto [index, added] = map->insert(batch, neighbor);
    if (added) {
      src_nodes->push_back(neighbor);
      src_batches->push_back(batch);
    }
    ++*count;
    rows->push_back(index);
    cols->push_back(entry_pos);
  }

  void record_range(int64_t begin, int64_t end) {
    for (int64_t p = begin; p < end; ++p) record(p);
  }
};

void SamplingEngine::prepare(const GraphStore& store) {
  const auto num_types = static_cast<size_t>(store.num_node_types());
  const auto num_edges = static_cast<size_t>(store.num_edge_types());
  auto reset = [](std::vector<std::vector<int64_t>>& lists, size_t n) {
    lists.resize(n);
    for (auto& l : lists) l.clear();
  };
  reset(result_.rows, num_edges);
  reset(result_.cols, num_edges);
  reset(result_.num_edges, num_edges);
  reset(result_.nodes, num_types);
  reset(result_.batches, num_types);
  reset(result_.num_nodes, num_types);
  for (auto& counts : result_.num_nodes) counts.push_back(0);
  maps_.resize(num_types);
  for (auto& m : maps_) m.reset();
  frontier_.assign(num_types, Frontier{});
  seed_times_ = nullptr;
  num_seed_times_ = 0;
}

// Collects the seed times the temporal paths use. Returns whether there are
// any: without them every edge type is sampled in plain mode.
bool SamplingEngine::gather_seed_times(const GraphStore& store, const SampleRequest& request) {
  // Without node times no path is temporal, so seed times are never read
  // (and `seed_times` may then be of any length).
  if (!store.has_any_node_time()) return false;
  if (!request.seed_times.empty()) {
    if (request.seed_times.size() < request.seeds.size()) {
      throw std::runtime_error("'seed_node' and 'seed_time' size mismatch.");
    }
    seed_times_ = request.seed_times.data();
    num_seed_times_ = static_cast<int64_t>(request.seed_times.size());
    return true;
  }
  if (!store.has_node_time(request.entity) || request.seeds.empty()) return false;
  const Int64View times = store.node_time(request.entity);
  const std::string& name = store.node_types()[static_cast<size_t>(request.entity)];
  seed_time_buffer_.clear();
  for (int64_t id : request.seeds) {
    if (!times.contains(id)) throw_bad_time_id(name, id, times);
    seed_time_buffer_.push_back(times[id]);
  }
  seed_times_ = seed_time_buffer_.data();
  num_seed_times_ = static_cast<int64_t>(seed_time_buffer_.size());
  return true;
}

RunStatus SamplingEngine::run(const GraphStore& store, const SampleRequest& request) {
  prepare(store);
  const int64_t num_edge_types = store.num_edge_types();
  const int64_t num_node_types = store.num_node_types();
  const auto entity = static_cast<size_t>(request.entity);

  // Seeds come first in the entity's node list: seed i is (i, seeds[i]) with
  // local index i, so equal ids stay separate subgraphs.
  const auto num_seeds = static_cast<int64_t>(request.seeds.size());
  for (int64_t i = 0; i < num_seeds; ++i) {
    const int64_t id = request.seeds[static_cast<size_t>(i)];
    maps_[entity].insert(i, id);
    result_.nodes[entity].push_back(id);
    result_.batches[entity].push_back(i);
  }
  frontier_[entity] = {0, num_seeds};
  result_.num_nodes[entity][0] = num_seeds;

  const bool have_seed_times = gather_seed_times(store, request);

  for (int64_t hop = 0; hop < request.num_hops; ++hop) {
    for (int64_t edge = 0; edge < num_edge_types; ++edge) {
      const int64_t src = store.src_index(edge);
      const int64_t dst = store.dst_index(edge);
      if (src < 0 || dst < 0) throw std::out_of_range(kUnknownTypeMessage);
      const Frontier fr = frontier_[static_cast<size_t>(dst)];
      auto& counts = result_.num_edges[static_cast<size_t>(edge)];
      counts.push_back(0);
      if (hop == request.stop_hop && edge == request.stop_edge) return RunStatus::kStopped;

      const Budget& budget =
          request.budgets[static_cast<size_t>(hop * num_edge_types + edge)];
      const bool temporal = have_seed_times && store.has_node_time(src);
      const bool is_window = budget.kind == Budget::Kind::kWindow;
      if (fr.begin == fr.end) continue;
      if (is_window ? !temporal : budget.count == 0) continue;

      const auto e = static_cast<size_t>(edge);
      const auto s = static_cast<size_t>(src);
      EdgeOutput out{store.row(edge),  &maps_[s],        &result_.nodes[s],
                     &result_.batches[s], &result_.rows[e], &result_.cols[e],
                     &counts.back()};
      if (temporal) {
        expand_temporal(store, edge, src, dst, fr, budget, out);
      } else {
        expand_plain(store, edge, dst, fr, budget.count, out);
      }
    }
    // Entries added during this hop are the next hop's frontier.
    for (int64_t t = 0; t < num_node_types; ++t) {
      const auto ti = static_cast<size_t>(t);
      const auto size = static_cast<int64_t>(result_.nodes[ti].size());
      const int64_t old_end = frontier_[ti].end;
      frontier_[ti] = {old_end, size};
      result_.num_nodes[ti].push_back(size - old_end);
    }
  }
  return RunStatus::kComplete;
}

void SamplingEngine::expand_plain(const GraphStore& store, int64_t edge, int64_t dst,
                                  Frontier fr, int64_t k, EdgeOutput& out) {
  const std::string& key = store.edge_type_keys()[static_cast<size_t>(edge)];
  const Int64View colptr = store.colptr(edge);
  // Index, not iterate: when source and destination types are equal,
  // recording appends to the very list being expanded.
  const std::vector<int64_t>& dst_nodes = result_.nodes[static_cast<size_t>(dst)];
  const std::vector<int64_t>& dst_batches = result_.batches[static_cast<size_t>(dst)];
  for (int64_t i = fr.begin; i < fr.end; ++i) {
    const int64_t node = dst_nodes[static_cast<size_t>(i)];
    out.batch = dst_batches[static_cast<size_t>(i)];
    out.entry_pos = i;
    const Neighborhood nb = neighborhood(key, colptr, out.row, node);
    const int64_t n = nb.end - nb.begin;
    if (n == 0) continue;
    if (k < 0 || k >= n) {
      out.record_range(nb.begin, nb.end);
    } else {
      select_random(nb.begin, n, k, out);
    }
  }
}

// Floyd's algorithm: exactly k draws, one 32-bit output each, r = u mod
// (j + 1); positions are recorded in the order of j.
void SamplingEngine::select_random(int64_t begin, int64_t n, int64_t k, EdgeOutput& out) {
  taken_.start(n, k);
  for (int64_t j = n - k; j < n; ++j) {
    const uint64_t u = static_cast<uint32_t>(generator_());
    const auto r = static_cast<int64_t>(u % static_cast<uint64_t>(j + 1));
    int64_t chosen = r;
    if (!taken_.insert(r)) {
      taken_.insert(j);
      chosen = j;
    }
    out.record(begin + chosen);
  }
}

void SamplingEngine::expand_temporal(const GraphStore& store, int64_t edge, int64_t src,
                                     int64_t dst, Frontier fr, const Budget& budget,
                                     EdgeOutput& out) {
  const std::string& key = store.edge_type_keys()[static_cast<size_t>(edge)];
  const Int64View colptr = store.colptr(edge);
  const NeighborTimes times{out.row, store.node_time(src),
                            &store.node_types()[static_cast<size_t>(src)]};
  const std::vector<int64_t>& dst_nodes = result_.nodes[static_cast<size_t>(dst)];
  const std::vector<int64_t>& dst_batches = result_.batches[static_cast<size_t>(dst)];
  const bool is_window = budget.kind == Budget::Kind::kWindow;
  for (int64_t i = fr.begin; i < fr.end; ++i) {
    const int64_t node = dst_nodes[static_cast<size_t>(i)];
    out.batch = dst_batches[static_cast<size_t>(i)];
    out.entry_pos = i;
    const Neighborhood nb = neighborhood(key, colptr, out.row, node);
    if (nb.begin == nb.end) continue;
    if (out.batch >= num_seed_times_) {
      throw std::runtime_error("'seed_node' and 'seed_time' size mismatch.");
    }
    const int64_t seed_time = seed_times_[out.batch];

    if (is_window) {
      // Every neighbour with lower < time <= upper.
      int64_t first = nb.begin;
      if (budget.has_lower) {
        first = times.upper_bound(nb.begin, nb.end, saturating_add(seed_time, budget.lower));
      }
      const int64_t last =
          times.upper_bound(first, nb.end, saturating_add(seed_time, budget.upper));
      const int64_t n = last - first;
      if (n == 0) continue;
      if (n >= 2 && times.at(first) > times.at(last - 1)) {
        throw std::runtime_error(kUnsortedMessage);
      }
      out.record_range(first, last);
    } else {
      // The k most recent neighbours not later than the seed's time (all of
      // them for a negative k); no draw.
      const int64_t last = times.upper_bound(nb.begin, nb.end, seed_time);
      int64_t first = nb.begin;
      if (last - first >= 2 && times.at(first) > times.at(last - 1)) {
        throw std::runtime_error(kUnsortedMessage);
      }
      if (budget.count >= 1) first = std::max(first, last - budget.count);
      out.record_range(first, last);
    }
  }
}

}  // namespace tovalib
