#include "reference_engine.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace fuzz {

namespace {

// Window bounds stop at the int64 limits instead of wrapping.
int64_t add_clamped(int64_t a, int64_t b) {
  if (b > 0 && a > std::numeric_limits<int64_t>::max() - b) {
    return std::numeric_limits<int64_t>::max();
  }
  if (b < 0 && a < std::numeric_limits<int64_t>::min() - b) {
    return std::numeric_limits<int64_t>::min();
  }
  return a + b;
}

}  // namespace

int64_t ReferenceSampler::type_index(const std::string& name) const {
  for (size_t t = 0; t < graph_.node_types.size(); ++t) {
    if (graph_.node_types[t] == name) return static_cast<int64_t>(t);
  }
  return -1;
}

std::string ReferenceSampler::edge_key(size_t edge) const {
  const ReferenceEdgeType& et = graph_.edge_types[edge];
  return et.src + "__" + et.relation + "__" + et.dst;
}

int64_t ReferenceSampler::time_of(size_t type, int64_t id) const {
  const std::vector<int64_t>& times = graph_.times[type];
  if (id < 0 || id >= static_cast<int64_t>(times.size())) {
    throw std::runtime_error("Node " + std::to_string(id) +
                             " is out of range for 'node_time' at '" + graph_.node_types[type] +
                             "' (" + std::to_string(times.size()) + " entries).");
  }
  return times[static_cast<size_t>(id)];
}

// [begin, end) of `node` in the edge type's row, after checking the id
// against colptr and the range against row.
std::pair<int64_t, int64_t> ReferenceSampler::neighbourhood(size_t edge, int64_t node) const {
  const std::vector<int64_t>& colptr = graph_.colptr[edge];
  const std::vector<int64_t>& row = graph_.row[edge];
  const auto num_nodes = std::max<int64_t>(static_cast<int64_t>(colptr.size()) - 1, 0);
  if (node < 0 || node >= num_nodes) {
    throw std::runtime_error("Node " + std::to_string(node) + " is out of range for 'colptr' at '" +
                             edge_key(edge) + "' (" + std::to_string(num_nodes) + " nodes).");
  }
  const int64_t begin = colptr[static_cast<size_t>(node)];
  const int64_t end = colptr[static_cast<size_t>(node) + 1];
  if (begin < 0 || end < begin || end > static_cast<int64_t>(row.size())) {
    throw std::runtime_error("Invalid neighborhood [" + std::to_string(begin) + ", " +
                             std::to_string(end) + ") of node " + std::to_string(node) +
                             " in 'colptr' at '" + edge_key(edge) + "' ('row' has " +
                             std::to_string(row.size()) + " entries).");
  }
  return {begin, end};
}

// Reads every neighbour's time in position order; the first time smaller
// than the one before it is an error. Verified neighbourhoods are not read
// again; a failed one is.
void ReferenceSampler::check_order(size_t edge, size_t src, int64_t node, int64_t begin,
                                   int64_t end) {
  if (verified_.count({edge, node}) > 0) return;
  const std::vector<int64_t>& row = graph_.row[edge];
  spend(end - begin);
  int64_t previous = std::numeric_limits<int64_t>::min();
  for (int64_t p = begin; p < end; ++p) {
    const int64_t t = time_of(src, row[static_cast<size_t>(p)]);
    if (p > begin && t < previous) {
      throw std::runtime_error("Found invalid non-sorted temporal neighborhood");
    }
    previous = t;
  }
  verified_.insert({edge, node});
}

// First position q in [first, last) whose neighbour is later than x, or
// last. A scan: the neighbourhood has passed check_order, so it finds what
// a bisection finds, without sharing its mistakes.
int64_t ReferenceSampler::upper_bound(size_t edge, size_t src, int64_t first, int64_t last,
                                      int64_t x) {
  spend(last - first);
  const std::vector<int64_t>& row = graph_.row[edge];
  for (int64_t p = first; p < last; ++p) {
    if (x < time_of(src, row[static_cast<size_t>(p)])) return p;
  }
  return last;
}

// A uniform value below 2^64 for a pick among `bound` offsets: one output
// while bound fits 32 bits, else two, the first as the high half.
uint64_t ReferenceSampler::draw(int64_t bound) {
  if (bound <= (int64_t{1} << 32)) return generator_();
  const uint64_t high = generator_();
  const uint64_t low = generator_();
  return (high << 32) | low;
}

void ReferenceSampler::record(size_t edge, size_t src, int64_t position, int64_t batch,
                              int64_t entry_pos) {
  spend(1);
  const int64_t neighbor = graph_.row[edge][static_cast<size_t>(position)];
  const Key key{batch, neighbor};
  auto found = index_[src].find(key);
  if (found == index_[src].end()) {
    found = index_[src].emplace(key, static_cast<int64_t>(nodes_[src].size())).first;
    nodes_[src].push_back(key);
  }
  result_.rows[edge].push_back(found->second);
  result_.cols[edge].push_back(entry_pos);
  ++result_.num_edges[edge].back();
}

void ReferenceSampler::spend(int64_t amount) {
  work_ += amount;
  if (work_ > work_limit_) throw TooMuchWork{};
}

bool ReferenceSampler::run(const tovalib::SampleRequest& request) {
  using tovalib::Budget;
  const size_t num_types = graph_.node_types.size();
  const size_t num_edges = graph_.edge_types.size();
  work_ = 0;
  hop_ = 0;
  result_ = tovalib::SampleResult{};
  result_.rows.resize(num_edges);
  result_.cols.resize(num_edges);
  result_.num_edges.resize(num_edges);
  result_.num_nodes.assign(num_types, {0});
  nodes_.assign(num_types, {});
  index_.assign(num_types, {});

  const auto entity = static_cast<size_t>(request.entity);
  const int64_t num_seeds = static_cast<int64_t>(request.seeds.size());
  for (int64_t i = 0; i < num_seeds; ++i) {
    const Key key{i, request.seeds[static_cast<size_t>(i)]};
    index_[entity][key] = i;
    nodes_[entity].push_back(key);
  }
  result_.num_nodes[entity][0] = num_seeds;

  // Seed times: given, or the seeds' own times; only when some node type
  // has times at all.
  std::vector<int64_t> seed_times;
  const bool any_time =
      std::find(graph_.has_time.begin(), graph_.has_time.end(), true) != graph_.has_time.end();
  if (any_time) {
    if (!request.seed_times.empty()) {
      if (request.seed_times.size() < request.seeds.size()) {
        throw std::runtime_error("'seed_node' and 'seed_time' size mismatch.");
      }
      seed_times = request.seed_times;
    } else if (graph_.has_time[entity]) {
      for (int64_t id : request.seeds) seed_times.push_back(time_of(entity, id));
    }
  }
  const bool timed_call = !seed_times.empty();

  std::vector<std::pair<int64_t, int64_t>> frontier(num_types, {0, 0});
  frontier[entity] = {0, num_seeds};
  for (int64_t hop = 0; hop < request.num_hops; ++hop) {
    hop_ = hop;
    for (size_t edge = 0; edge < num_edges; ++edge) {
      const int64_t src_index = type_index(graph_.edge_types[edge].src);
      const int64_t dst_index = type_index(graph_.edge_types[edge].dst);
      if (src_index < 0 || dst_index < 0) {
        throw std::out_of_range("invalid unordered_map<K, T> key");
      }
      const auto src = static_cast<size_t>(src_index);
      const auto dst = static_cast<size_t>(dst_index);
      result_.num_edges[edge].push_back(0);
      if (hop == request.stop_hop && static_cast<int64_t>(edge) == request.stop_edge) {
        return false;
      }
      const Budget& budget =
          request.budgets[static_cast<size_t>(hop) * num_edges + edge];
      const bool is_window = budget.kind == Budget::Kind::kWindow;
      const bool temporal = timed_call && graph_.has_time[src];
      if (is_window ? !temporal : budget.count == 0) continue;

      const auto [from, to] = frontier[dst];
      for (int64_t i = from; i < to; ++i) {
        // A copy: recording may append to this very list.
        const Key entry = nodes_[dst][static_cast<size_t>(i)];
        const auto [begin, end] = neighbourhood(edge, entry.second);
        if (begin == end) continue;
        if (!temporal) {
          const int64_t n = end - begin;
          const int64_t k = budget.count;
          if (k < 0 || k >= n) {
            for (int64_t p = begin; p < end; ++p) record(edge, src, p, entry.first, i);
            continue;
          }
          // Floyd: for j = n - k .. n - 1 pick r < j + 1, or j itself when
          // r was picked before.
          std::set<int64_t> taken;
          for (int64_t j = n - k; j < n; ++j) {
            const auto r = static_cast<int64_t>(draw(j + 1) % static_cast<uint64_t>(j + 1));
            const int64_t chosen = taken.count(r) > 0 ? j : r;
            taken.insert(chosen);
            record(edge, src, begin + chosen, entry.first, i);
          }
          continue;
        }
        const int64_t seed_time = seed_times[static_cast<size_t>(entry.first)];
        check_order(edge, src, entry.second, begin, end);
        int64_t first = begin;
        int64_t last;
        if (is_window) {
          if (budget.has_lower) {
            first = upper_bound(edge, src, begin, end, add_clamped(seed_time, budget.lower));
          }
          last = upper_bound(edge, src, first, end, add_clamped(seed_time, budget.upper));
        } else {
          last = upper_bound(edge, src, begin, end, seed_time);
          if (budget.count >= 1) first = std::max(first, last - budget.count);
        }
        for (int64_t p = first; p < last; ++p) record(edge, src, p, entry.first, i);
      }
    }
    for (size_t t = 0; t < num_types; ++t) {
      const auto size = static_cast<int64_t>(nodes_[t].size());
      result_.num_nodes[t].push_back(size - frontier[t].second);
      frontier[t] = {frontier[t].second, size};
    }
  }
  hop_ = request.num_hops;

  result_.nodes.assign(num_types, {});
  result_.batches.assign(num_types, {});
  for (size_t t = 0; t < num_types; ++t) {
    for (const Key& key : nodes_[t]) {
      result_.batches[t].push_back(key.first);
      result_.nodes[t].push_back(key.second);
    }
  }
  return true;
}

}  // namespace fuzz
