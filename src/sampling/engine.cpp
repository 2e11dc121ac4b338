#include "sampling/engine.h"

#include "sampling/neighbor_times.h"
#include "sampling/prefetch.h"
#include "sampling/scratch.h"
#include "sampling/uniform_select.h"

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

// Most map slots fetched ahead for one entry's recorded range.
constexpr int64_t kMaxSlotPrefetch = 16;

// Fetches the colptr line of `node`, if it has one.
inline void prefetch_neighborhood_start(Int64View colptr, int64_t node) {
  if (node >= 0 && node < colptr.size - 1) prefetch_read(colptr.data + node);
}

// Fetches the first lines of row[begin, end): enough for the small
// neighbourhoods that dominate; the hardware streams longer ones.
inline void prefetch_range(Int64View row, int64_t begin, int64_t end) {
  constexpr int64_t kPerLine = 8;
  constexpr int64_t kMaxLines = 4;
  const int64_t stop = std::min(end, begin + kPerLine * kMaxLines);
  for (int64_t p = begin; p < stop; p += kPerLine) prefetch_read(row.data + p);
  if (begin < end) prefetch_read(row.data + end - 1);
}

// Fetches the time line of the neighbour at `position`, if it has a time.
inline void prefetch_time(const NeighborTimes& times, int64_t position) {
  const int64_t id = times.row[position];
  if (times.times.contains(id)) prefetch_read(times.times.data + id);
}

// The first position of [begin, end) whose neighbour has no time or whose
// time is below the time before it, or `end` when the neighbourhood is
// ordered by time. Reads the times in position order, so the first bad read
// is the one found.
int64_t first_disorder(const NeighborTimes& times, int64_t begin, int64_t end) {
  // Times of neighbours far apart in the id space miss the cache one by
  // one; fetching well ahead lets many misses wait together.
  constexpr int64_t kAhead = 64;
  const int64_t primed = std::min(end, begin + kAhead);
  for (int64_t p = begin + 1; p < primed; ++p) prefetch_time(times, p);
  int64_t previous = kInt64Min;
  for (int64_t p = begin; p < end; ++p) {
    if (p + kAhead < end) prefetch_time(times, p + kAhead);
    const int64_t id = times.row[p];
    if (!times.times.contains(id)) return p;
    const int64_t time = times.times[id];
    if (time < previous) return p;
    previous = time;
  }
  return end;
}

bool is_verified(const uint64_t* bits, int64_t node) {
  return (bits[node >> 6] >> (node & 63)) & 1u;
}

void mark_verified(uint64_t* bits, int64_t node) {
  bits[node >> 6] |= uint64_t{1} << (node & 63);
}

// Drives a four-stage pipeline over the frontier [begin, end) in chunks of
// `chunk` entries: chunk c + 3 goes through stage3, c + 2 through stage2, c + 1
// through stage1 and c through stage0, so that the memory each stage reads
// is fetched while the stages after it work. Each stage sees every chunk
// once, in chunk order, with the slot c % 3 of its caller's state.
template <typename S3, typename S2, typename S1, typename S0>
void run_pipeline(int64_t chunk, int64_t begin, int64_t end, S3 stage3, S2 stage2, S1 stage1,
                  S0 stage0) {
  const int64_t num_chunks = (end - begin + chunk - 1) / chunk;
  auto from = [&](int64_t c) { return begin + c * chunk; };
  auto to = [&](int64_t c) { return std::min(from(c) + chunk, end); };
  auto slot = [](int64_t c) { return static_cast<size_t>(c % 3); };
  for (int64_t c = -3; c < num_chunks; ++c) {
    if (c + 3 < num_chunks) stage3(from(c + 3), to(c + 3));
    if (c + 2 >= 0 && c + 2 < num_chunks) stage2(from(c + 2), to(c + 2), slot(c + 2));
    if (c + 1 >= 0 && c + 1 < num_chunks) stage1(from(c + 1), to(c + 1), slot(c + 1));
    if (c >= 0) stage0(from(c), to(c), slot(c));
  }
}

}  // namespace

struct SamplingEngine::EdgeOutput {
  Int64View row;
  LocalIndexMap* map;
  Int64List* src_nodes;
  Int64List* src_batches;
  Int64List* rows;
  Int64List* cols;
  int64_t* count;
  int64_t batch = 0;      // seed of the entry being expanded
  int64_t entry_pos = 0;  // its local index
  LocalIndexMap::Table* table = nullptr;  // the map's table of `batch`
  // Where the next edge and the next new node go, between open() and
  // close(); `row_start` is where open() began the edges.
  int64_t* row_start = nullptr;
  int64_t* row_out = nullptr;
  int64_t* col_out = nullptr;
  int64_t* node_out = nullptr;
  int64_t* batch_out = nullptr;

  // Makes room for up to `m` edges (and as many new nodes): the lists grow
  // once, and recording writes through pointers. Nothing may read or grow
  // the four lists of this edge type until close(), except through the
  // entries already in them.
  void open(int64_t m) {
    const auto extra = static_cast<size_t>(m);
    row_start = extend(*rows, extra);
    row_out = row_start;
    col_out = extend(*cols, extra);
    node_out = extend(*src_nodes, extra);
    batch_out = extend(*src_batches, extra);
  }

  // Cuts the lists back to what was recorded since open().
  void close() {
    const int64_t edges = row_out - row_start;
    *count += edges;
    cut(*rows, row_out);
    cut(*cols, col_out);
    cut(*src_nodes, node_out);
    cut(*src_batches, batch_out);
  }

  // Makes the entry at local index `pos`, of seed `b`, the one whose edges
  // are recorded next.
  void start_entry(int64_t b, int64_t pos) {
    batch = b;
    entry_pos = pos;
    table = &map->table(b);
  }

  // Records the edge at `position` of `row`: numbers the neighbour within the
  // entry's seed (a new one joins the next hop's frontier) and appends the
  // edge.
  void record(int64_t position) { record_node(row[position]); }

  // The same, with the neighbour's id already read from row.
  void record_node(int64_t neighbor) {
    const auto [index, added] = map->insert(*table, neighbor);
    if (added) {
      *node_out++ = neighbor;
      *batch_out++ = batch;
    }
    *row_out++ = index;
    *col_out++ = entry_pos;
  }

  void record_range(int64_t begin, int64_t end) {
    for (int64_t p = begin; p < end; ++p) record(p);
  }

 private:
  static int64_t* extend(Int64List& list, size_t extra) {
    const size_t size = list.size();
    list.resize(size + extra);
    return list.data() + size;
  }
  static void cut(Int64List& list, const int64_t* end) {
    list.resize(static_cast<size_t>(end - list.data()));
  }
};

void SamplingEngine::prepare(const GraphStore& store, size_t num_seeds) {
  const auto num_types = static_cast<size_t>(store.num_node_types());
  const auto num_edges = static_cast<size_t>(store.num_edge_types());
  auto reset = [](std::vector<Int64List>& lists, size_t n) {
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
  for (auto& m : maps_) m.reset(num_seeds);
  frontier_.assign(num_types, Frontier{});
  seed_times_ = nullptr;
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
  return true;
}

SamplingEngine::SamplingEngine(uint32_t seed)
    : generator_(seed),
      scratch_(take_scratch()),
      result_(scratch_->result),
      maps_(scratch_->maps),
      seed_time_buffer_(scratch_->seed_time_buffer),
      taken_(scratch_->taken),
      plans_(scratch_->plans),
      tchunks_(scratch_->tchunks) {}

SamplingEngine::~SamplingEngine() { give_scratch(std::move(scratch_)); }

SamplingEngine::ScratchPool& SamplingEngine::scratch_pool() {
  // Never destroyed: an engine may go after static destructors have run.
  static ScratchPool* pool = new ScratchPool;
  return *pool;
}

std::unique_ptr<SamplingEngine::Scratch> SamplingEngine::take_scratch() {
  ScratchPool& pool = scratch_pool();
  {
    const std::lock_guard<std::mutex> lock(pool.mutex);
    if (!pool.free.empty()) {
      std::unique_ptr<Scratch> scratch = std::move(pool.free.back());
      pool.free.pop_back();
      return scratch;
    }
  }
  return std::make_unique<Scratch>();
}

size_t SamplingEngine::Scratch::bytes() const {
  size_t total = taken.bytes() + seed_time_buffer.capacity() * sizeof(int64_t);
  for (const auto* lists : {&result.rows, &result.cols, &result.num_edges, &result.nodes,
                            &result.batches, &result.num_nodes}) {
    for (const auto& l : *lists) total += l.capacity() * sizeof(int64_t);
  }
  for (const auto& m : maps) total += m.bytes();
  for (const auto& plan : plans) total += plan.picks.capacity() * sizeof(int64_t);
  return total;
}

// The pool keeps what steady streams of calls reuse, not what one huge call
// grew: that goes with its engine, as it would without a pool.
void SamplingEngine::give_scratch(std::unique_ptr<Scratch> scratch) {
  if (scratch->bytes() > kPooledScratchBytes) return;
  ScratchPool& pool = scratch_pool();
  const std::lock_guard<std::mutex> lock(pool.mutex);
  if (pool.free.size() < kPooledScratch) pool.free.push_back(std::move(scratch));
}

RunStatus SamplingEngine::run(const GraphStore& store, const SampleRequest& request) {
  RunStatus status;
  try {
    status = run_hops(store, request);
  } catch (...) {
    release_all();
    throw;
  }
  // A stopped call ends in the caller's error: nothing of it is kept.
  if (status == RunStatus::kStopped) {
    release_all();
  } else {
    release_oversized(request.seeds.size());
  }
  return status;
}

void SamplingEngine::release_oversized(size_t num_seeds) {
  for (auto& m : maps_) m.release_oversized();
  taken_.release_oversized();
  for (auto& plan : plans_) release_if_oversized(plan.picks, 0);
  release_if_oversized(seed_time_buffer_, num_seeds);
  // The result is still to be read, and its lists may have grown in an
  // earlier, bigger call: those keep only what this call wrote.
  for (auto* lists : {&result_.rows, &result_.cols, &result_.num_edges, &result_.nodes,
                      &result_.batches, &result_.num_nodes}) {
    for (auto& l : *lists) shrink_if_oversized(l);
  }
}

// The result of a failed call is never read, and the scratch it grew may be
// huge; the next call starts as on a fresh engine (generator and verified
// neighbourhoods aside).
void SamplingEngine::release_all() {
  result_ = SampleResult{};
  maps_ = std::vector<LocalIndexMap>{};
  taken_ = TakenSet{};
  for (auto& plan : plans_) Int64List().swap(plan.picks);
  std::vector<int64_t>().swap(seed_time_buffer_);
  seed_times_ = nullptr;
}

uint64_t* SamplingEngine::verified_bits(int64_t edge, Int64View colptr) {
  if (verified_.size() <= static_cast<size_t>(edge)) verified_.resize(static_cast<size_t>(edge) + 1);
  std::vector<uint64_t>& bits = verified_[static_cast<size_t>(edge)];
  if (bits.empty()) {
    const int64_t num_nodes = std::max<int64_t>(colptr.size - 1, 0);
    bits.assign(static_cast<size_t>(num_nodes / 64 + 1), 0);
  }
  return bits.data();
}

RunStatus SamplingEngine::run_hops(const GraphStore& store, const SampleRequest& request) {
  prepare(store, request.seeds.size());
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

// Entries are expanded in chunks of kChunk, in a pipeline, so that the
// cache misses of many entries overlap instead of following one another.
// While chunk c is recorded, chunk c + 1 has its neighbour ids read from row
// and their map slots fetched, chunk c + 2 has its positions selected (and
// their row lines fetched), and chunk c + 3 has its colptr lines fetched.
// Draws still happen in entry order, since selection runs chunk after chunk,
// and recording is in entry order too: the output is what expanding one
// entry at a time gives. Whole neighbourhoods longer than kMaxBuffered are
// not listed in picks; recording reads them straight from row, which the
// hardware streams.
void SamplingEngine::expand_plain(const GraphStore& store, int64_t edge, int64_t dst,
                                  Frontier fr, int64_t k, EdgeOutput& out) {
  const std::string& key = store.edge_type_keys()[static_cast<size_t>(edge)];
  const Int64View colptr = store.colptr(edge);
  const Int64View row = out.row;
  // Index, not iterate: when source and destination types are equal,
  // recording appends to the very list being expanded.
  const Int64List& dst_nodes = result_.nodes[static_cast<size_t>(dst)];
  const Int64List& dst_batches = result_.batches[static_cast<size_t>(dst)];

  auto fetch_colptr = [&](int64_t from, int64_t to) {
    for (int64_t i = from; i < to; ++i) {
      prefetch_neighborhood_start(colptr, dst_nodes[static_cast<size_t>(i)]);
    }
  };
  auto select = [&](int64_t from, int64_t to, ChunkPlan& plan) {
    int64_t used = 0;
    for (int64_t i = from; i < to; ++i) {
      const Neighborhood nb = neighborhood(key, colptr, row, dst_nodes[static_cast<size_t>(i)]);
      const int64_t n = nb.end - nb.begin;
      Span& span = plan.spans[static_cast<size_t>(i - from)];
      if (k < 0 || k >= n) {
        prefetch_range(row, nb.begin, nb.end);
        if (n > kMaxBuffered) {
          span = {nb.begin, nb.end, true};
          continue;
        }
        int64_t* picks = plan.room(used, n);
        for (int64_t p = nb.begin; p < nb.end; ++p) *picks++ = p;
        span = {used, used + n, false};
        used += n;
      } else {
        int64_t* picks = plan.room(used, k);
        select_uniform(generator_, nb.begin, n, k, taken_, picks);
        for (int64_t j = 0; j < k; ++j) prefetch_read(row.data + picks[j]);
        span = {used, used + k, false};
        used += k;
      }
    }
  };
  auto gather = [&](int64_t from, int64_t to, ChunkPlan& plan) {
    for (int64_t i = from; i < to; ++i) {
      const Span& span = plan.spans[static_cast<size_t>(i - from)];
      if (span.whole) continue;
      const LocalIndexMap::Table& table = out.map->table(dst_batches[static_cast<size_t>(i)]);
      for (int64_t j = span.begin; j < span.end; ++j) {
        int64_t& pick = plan.picks[static_cast<size_t>(j)];
        pick = row[pick];
        LocalIndexMap::prefetch(table, pick);
      }
    }
  };
  auto record = [&](int64_t from, int64_t to, const ChunkPlan& plan) {
    int64_t edges = 0;
    for (int64_t i = from; i < to; ++i) {
      const Span& span = plan.spans[static_cast<size_t>(i - from)];
      edges += span.end - span.begin;
    }
    // A local copy, so that its write pointers can live in registers.
    EdgeOutput w = out;
    w.open(edges);
    const int64_t* picks = plan.picks.data();
    for (int64_t i = from; i < to; ++i) {
      const Span& span = plan.spans[static_cast<size_t>(i - from)];
      w.start_entry(dst_batches[static_cast<size_t>(i)], i);
      if (span.whole) {
        w.record_range(span.begin, span.end);
      } else {
        for (int64_t j = span.begin; j < span.end; ++j) w.record_node(picks[j]);
      }
    }
    w.close();
  };

  run_pipeline(
      kChunk, fr.begin, fr.end, fetch_colptr,
      [&](int64_t a, int64_t b, size_t slot) { select(a, b, plans_[slot]); },
      [&](int64_t a, int64_t b, size_t slot) { gather(a, b, plans_[slot]); },
      [&](int64_t a, int64_t b, size_t slot) { record(a, b, plans_[slot]); });
}

// One entry at a time, exactly as the rules read. The chunked path below
// falls back to this for a chunk with malformed input, so that the first
// error in entry order is the one raised. A neighbourhood not yet verified
// is read whole first (every read range-checked) and must be ordered by
// time; only then is it searched.
void SamplingEngine::expand_temporal_each(const TemporalEdge& te, int64_t from, int64_t to,
                                          EdgeOutput& out) {
  const Int64List& dst_nodes = result_.nodes[static_cast<size_t>(te.dst)];
  const Int64List& dst_batches = result_.batches[static_cast<size_t>(te.dst)];
  const NeighborTimes& times = te.times;
  const Budget& budget = te.budget;
  for (int64_t i = from; i < to; ++i) {
    const int64_t node = dst_nodes[static_cast<size_t>(i)];
    out.start_entry(dst_batches[static_cast<size_t>(i)], i);
    const Neighborhood nb = neighborhood(*te.key, te.colptr, out.row, node);
    if (nb.begin == nb.end) continue;
    const int64_t seed_time = seed_times_[out.batch];
    if (!is_verified(te.verified, node)) {
      const int64_t bad = first_disorder(times, nb.begin, nb.end);
      if (bad != nb.end) {
        static_cast<void>(times.at(bad));  // raises for a neighbour without a time
        throw std::runtime_error(kUnsortedMessage);
      }
      mark_verified(te.verified, node);
    }

    if (te.is_window) {
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
      out.open(n);
      out.record_range(first, last);
      out.close();
    } else {
      // The k most recent neighbours not later than the seed's time (all of
      // them for a negative k); no draw.
      const int64_t last = times.upper_bound(nb.begin, nb.end, seed_time);
      int64_t first = nb.begin;
      if (last - first >= 2 && times.at(first) > times.at(last - 1)) {
        throw std::runtime_error(kUnsortedMessage);
      }
      if (budget.count >= 1) first = std::max(first, last - budget.count);
      out.open(last - first);
      out.record_range(first, last);
      out.close();
    }
  }
}

bool SamplingEngine::verify_chunk(const TemporalEdge& te, const TemporalChunk& tc, int64_t m) {
  for (int64_t g = 0; g < m; ++g) {
    const TemporalRange& r = tc.ranges[g];
    // The bit is read again: an earlier chunk (or entry) may have set it.
    if (r.begin == r.end || is_verified(te.verified, r.node)) continue;
    if (first_disorder(te.times, r.begin, r.end) != r.end) return false;
    mark_verified(te.verified, r.node);
  }
  return true;
}

// Runs the upper-bound bisections of searches_[0, m) side by side, one step
// of each per round: each step waits on two dependent loads (row, then the
// neighbour's time), and interleaving lets the steps of different entries
// wait together. Every search takes exactly the steps it would take alone.
// Returns false, leaving the searches unfinished, when a probed neighbour
// has no time.
bool SamplingEngine::bisect_chunk(const NeighborTimes& times, Search* searches, int64_t m) {
  // The searches still running; each round keeps those that go on.
  Search* active[kChunk];
  int64_t num_active = 0;
  for (int64_t g = 0; g < m; ++g) {
    if (searches[g].count > 0) active[num_active++] = &searches[g];
  }
  while (num_active > 0) {
    int64_t kept = 0;
    for (int64_t a = 0; a < num_active; ++a) {
      Search& q = *active[a];
      // count > 0: halving as unsigned is the signed count / 2.
      const auto half = static_cast<int64_t>(static_cast<uint64_t>(q.count) >> 1);
      const int64_t mid = q.first + half;
      const int64_t id = times.row[mid];
      if (!times.times.contains(id)) return false;
      const bool before = q.x < times.times[id];
      q.first = before ? q.first : mid + 1;
      q.count = before ? half : q.count - half - 1;
      if (q.count > 0) {
        prefetch_read(times.row.data + q.first + (q.count >> 1));
        active[kept++] = &q;
      }
    }
    num_active = kept;
  }
  return true;
}

// Neighbourhoods longer than this are searched by interpolation between the
// times of their ends; shorter ones by bisection.
constexpr int64_t kInterpolateFrom = 16;
// Interpolations in a row that may each leave more than half the range
// before a bisection step.
constexpr int kMaxMisses = 2;

// The upper-bound searches of a chunk whose searches all start at their
// range's beginning, each finding the first position q of [begin, end) with
// x < time(q), or end. The result is used only for a neighbourhood that is
// in time order (verified before, or by verify_chunk after the search),
// where that position is unique: any search finds the bisection's answer.
// Long neighbourhoods, where bisection waits on two misses for each of
// about log2(n) probes, are searched by interpolation between the times
// known around the answer, which on times spread evenly over a
// neighbourhood needs a few probes; after two probes in a row that each
// left more than half the range comes a bisection step, so a search never
// takes much more than three times the bisection's probes. The searches run
// side by side as in bisect_chunk. Leaves each result in
// tc.searches[g].first; false when a neighbour read has no time.
bool SamplingEngine::search_ordered_chunk(const NeighborTimes& times, TemporalChunk& tc,
                                          int64_t m) {
  OrderedSearch* active[kChunk];
  int64_t probes[kChunk];
  int64_t num_active = 0;
  const int64_t* row = times.row.data;
  auto next_probe = [](const OrderedSearch& s) {
    const int64_t gap = s.hi - s.lo;  // at least 2
    if (s.lo_read && s.hi_read && s.misses < kMaxMisses) {
      const double f = (static_cast<double>(s.x) - static_cast<double>(s.t_lo)) /
                       (static_cast<double>(s.t_hi) - static_cast<double>(s.t_lo));
      if (f >= 0.0 && f < 1.0) {
        const auto step = static_cast<int64_t>(f * static_cast<double>(gap - 1));
        return s.lo + 1 + std::min(std::max<int64_t>(step, 0), gap - 2);
      }
    }
    return s.lo + gap / 2;
  };
  for (int64_t g = 0; g < m; ++g) {
    const TemporalRange& r = tc.ranges[g];
    Search& result = tc.searches[g];
    result.first = r.begin;
    if (r.begin == r.end) continue;
    OrderedSearch& s = tc.ordered[g];
    s.x = r.upper;
    s.misses = 0;
    if (r.end - r.begin > kInterpolateFrom) {
      const int64_t id_first = row[r.begin];
      const int64_t id_last = row[r.end - 1];
      if (!times.times.contains(id_first) || !times.times.contains(id_last)) return false;
      s.t_lo = times.times[id_first];
      s.t_hi = times.times[id_last];
      if (s.x < s.t_lo) continue;  // begin
      if (s.x >= s.t_hi) {
        result.first = r.end;
        continue;
      }
      s.lo = r.begin;
      s.hi = r.end - 1;
      s.lo_read = s.hi_read = true;
    } else {
      s.lo = r.begin - 1;
      s.hi = r.end;
      s.lo_read = s.hi_read = false;
    }
    if (s.hi - s.lo < 2) {
      result.first = s.hi;
      continue;
    }
    probes[num_active] = next_probe(s);
    prefetch_read(row + probes[num_active]);
    active[num_active++] = &s;
  }
  while (num_active > 0) {
    // Every probe's time is fetched before any is compared.
    int64_t ids[kChunk];
    for (int64_t a = 0; a < num_active; ++a) {
      const int64_t id = row[probes[a]];
      if (!times.times.contains(id)) return false;
      prefetch_read(times.times.data + id);
      ids[a] = id;
    }
    int64_t kept = 0;
    for (int64_t a = 0; a < num_active; ++a) {
      OrderedSearch& s = *active[a];
      const int64_t p = probes[a];
      const int64_t t = times.times[ids[a]];
      const int64_t gap = s.hi - s.lo;
      const bool interpolated = s.lo_read && s.hi_read && s.misses < kMaxMisses;
      if (s.x < t) {
        s.hi = p;
        s.t_hi = t;
        s.hi_read = true;
      } else {
        s.lo = p;
        s.t_lo = t;
        s.lo_read = true;
      }
      if (!interpolated || 2 * (s.hi - s.lo) <= gap) {
        s.misses = 0;
      } else {
        ++s.misses;
      }
      if (s.hi - s.lo >= 2) {
        probes[kept] = next_probe(s);
        prefetch_read(row + probes[kept]);
        active[kept++] = &s;
      } else {
        tc.searches[&s - tc.ordered].first = s.hi;
      }
    }
    num_active = kept;
  }
  return true;
}

// Chunked and pipelined like expand_plain. While chunk c is searched,
// checked and recorded, chunk c + 1 has the time of its first probe
// fetched, chunk c + 2 has its neighbourhoods read (and its first probe's row
// line fetched), and chunk c + 3 has its colptr lines fetched. A chunk's
// searches run interleaved (bisect_chunk), then its neighbourhoods not yet
// verified are verified in entry order; checks and recording go in entry
// order. A chunk with malformed input (or a neighbourhood that fails
// verification) is expanded one entry at a time instead, which raises the
// first error in entry order: an entry's own reads come before any read of a
// later entry that can fail. Nothing is drawn on this path.
void SamplingEngine::expand_temporal(const GraphStore& store, int64_t edge, int64_t src,
                                     int64_t dst, Frontier fr, const Budget& budget,
                                     EdgeOutput& out) {
  const TemporalEdge te{&store.edge_type_keys()[static_cast<size_t>(edge)],
                        store.colptr(edge),
                        NeighborTimes{out.row, store.node_time(src),
                                      &store.node_types()[static_cast<size_t>(src)]},
                        budget,
                        dst,
                        budget.kind == Budget::Kind::kWindow,
                        verified_bits(edge, store.colptr(edge))};
  const NeighborTimes& times = te.times;
  const Int64View colptr = te.colptr;
  const Int64View row = out.row;
  const Int64List& dst_nodes = result_.nodes[static_cast<size_t>(dst)];
  const Int64List& dst_batches = result_.batches[static_cast<size_t>(dst)];
  const bool two_searches = te.is_window && budget.has_lower;

  auto fetch_colptr = [&](int64_t from, int64_t to) {
    for (int64_t i = from; i < to; ++i) {
      prefetch_neighborhood_start(colptr, dst_nodes[static_cast<size_t>(i)]);
    }
  };
  // The position a search reads first (besides the range's beginning, read
  // by a search by interpolation and by the order check).
  auto first_probe = [&](const Search& q) {
    if (two_searches) return q.first + q.count / 2;
    if (q.count > kInterpolateFrom) return q.first + q.count - 1;
    return q.first - 1 + (q.count + 1) / 2;
  };
  // Neighbourhoods and search values; reads only, never raises.
  auto plan = [&](int64_t from, int64_t to, TemporalChunk& tc) {
    tc.well_formed = true;
    for (int64_t i = from; i < to; ++i) {
      const int64_t node = dst_nodes[static_cast<size_t>(i)];
      Search& q = tc.searches[i - from];
      TemporalRange& r = tc.ranges[i - from];
      q.count = 0;
      if (node < 0 || node >= colptr.size - 1) {
        tc.well_formed = false;
        return;
      }
      r.begin = colptr[node];
      r.end = colptr[node + 1];
      if (r.begin < 0 || r.begin > r.end || r.end > row.size) {
        tc.well_formed = false;
        return;
      }
      if (r.begin == r.end) continue;
      r.node = node;
      prefetch_read(te.verified + (node >> 6));
      const int64_t seed_time = seed_times_[dst_batches[static_cast<size_t>(i)]];
      r.upper = te.is_window ? saturating_add(seed_time, budget.upper) : seed_time;
      r.start = r.begin;
      q.first = r.begin;
      q.count = r.end - r.begin;
      q.x = two_searches ? saturating_add(seed_time, budget.lower) : r.upper;
      prefetch_read(row.data + first_probe(q));
      prefetch_read(row.data + r.begin);
    }
  };
  // Fetches the time of each search's first probe, and notes whether the
  // chunk has neighbourhoods to verify (their bits were fetched by plan).
  auto prime = [&](int64_t from, int64_t to, TemporalChunk& tc) {
    tc.maybe_unverified = false;
    if (!tc.well_formed) return;
    for (int64_t i = from; i < to; ++i) {
      const Search& q = tc.searches[i - from];
      if (q.count <= 0) continue;
      prefetch_time(times, first_probe(q));
      if (!two_searches) prefetch_time(times, q.first);
      tc.maybe_unverified |= !is_verified(te.verified, tc.ranges[i - from].node);
    }
  };
  auto process = [&](int64_t from, int64_t to, TemporalChunk& tc) {
    const int64_t m = to - from;
    bool well_formed = tc.well_formed;
    if (well_formed && two_searches) {
      // Lower ends first; the upper search starts where each one ended.
      well_formed = bisect_chunk(times, tc.searches, m);
      for (int64_t g = 0; g < m && well_formed; ++g) {
        Search& q = tc.searches[g];
        TemporalRange& r = tc.ranges[g];
        if (r.begin == r.end) continue;
        r.start = q.first;
        q.count = r.end - q.first;
        q.x = r.upper;
      }
    }
    if (well_formed) {
      well_formed = two_searches ? bisect_chunk(times, tc.searches, m)
                                 : search_ordered_chunk(times, tc, m);
    }
    // Verification comes before the searches in the rules; both only read,
    // and any failure sends the chunk to the one-entry path, so running it
    // second changes nothing but speed: the searches, interleaved, bring in
    // the lines it reads (all of them for the many one-neighbour
    // neighbourhoods).
    if (well_formed && tc.maybe_unverified) well_formed = verify_chunk(te, tc, m);
    if (!well_formed) {
      expand_temporal_each(te, from, to, out);
      return;
    }
    // The order check below reads the times of each range's two ends, and
    // recording probes the map slots of the neighbours it takes.
    int64_t edges = 0;
    for (int64_t g = 0; g < m; ++g) {
      const TemporalRange& r = tc.ranges[g];
      const int64_t last = tc.searches[g].first;
      if (r.begin == r.end || last == r.start) continue;
      if (last - r.start >= 2) {
        prefetch_time(times, r.start);
        prefetch_time(times, last - 1);
      }
      int64_t first = r.start;
      if (!te.is_window && budget.count >= 1) first = std::max(first, last - budget.count);
      edges += last - first;
      const LocalIndexMap::Table& table = out.map->table(dst_batches[static_cast<size_t>(from + g)]);
      const int64_t stop = std::min(last, first + kMaxSlotPrefetch);
      for (int64_t p = first; p < stop; ++p) LocalIndexMap::prefetch(table, row[p]);
    }
    // A local copy, so that its write pointers can live in registers.
    EdgeOutput w = out;
    w.open(edges);
    for (int64_t g = 0; g < m; ++g) {
      const TemporalRange& r = tc.ranges[g];
      if (r.begin == r.end) continue;
      w.start_entry(dst_batches[static_cast<size_t>(from + g)], from + g);
      const int64_t last = tc.searches[g].first;
      int64_t first = r.start;
      if (last - first >= 2 && times.at(first) > times.at(last - 1)) {
        throw std::runtime_error(kUnsortedMessage);
      }
      // Counts take the latest neighbours up to the seed's time.
      if (!te.is_window && budget.count >= 1) first = std::max(first, last - budget.count);
      w.record_range(first, last);
    }
    w.close();
  };

  run_pipeline(
      kChunk, fr.begin, fr.end, fetch_colptr,
      [&](int64_t a, int64_t b, size_t slot) { plan(a, b, tchunks_[slot]); },
      [&](int64_t a, int64_t b, size_t slot) { prime(a, b, tchunks_[slot]); },
      [&](int64_t a, int64_t b, size_t slot) { process(a, b, tchunks_[slot]); });
}

}  // namespace tovalib
