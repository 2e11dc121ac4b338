#include "module/py_sampler.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>
#include <unordered_set>
#include <utility>

#include "module/typed_dict.h"

namespace tovalib {

namespace {

// Aligned as well as contiguous: a misaligned int64 array is copied too,
// since its elements may not be read through an int64_t pointer.
using ContiguousInt64 =
    py::array_t<int64_t, py::array::c_style | py::array::forcecast |
                             py::detail::npy_api::NPY_ARRAY_ALIGNED_>;

std::vector<EdgeType> to_edge_types(
    std::vector<std::tuple<std::string, std::string, std::string>> triples) {
  std::vector<EdgeType> out;
  out.reserve(triples.size());
  for (auto& t : triples) {
    out.push_back({std::move(std::get<0>(t)), std::move(std::get<1>(t)),
                   std::move(std::get<2>(t))});
  }
  return out;
}

// True when the elements can be read in place as consecutive native int64.
bool readable_in_place(const py::array& array) {
  const auto flags = array.flags();
  return (flags & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_) != 0 &&
         (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0 &&
         array.dtype().attr("isnative").cast<bool>();
}

// The elements of a 1-D int64 array (any strides, any byte order) as a
// vector; an empty array of any dtype gives an empty vector.
std::vector<int64_t> copy_int64(const py::array& array) {
  if (array.size() == 0) return {};
  const ContiguousInt64 contiguous(array);
  const int64_t* data = contiguous.data();
  return std::vector<int64_t>(data, data + contiguous.size());
}

py::array_t<int64_t> to_numpy(const Int64List& values) {
  py::array_t<int64_t> out(static_cast<py::ssize_t>(values.size()));
  if (!values.empty()) {
    std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(int64_t));
  }
  return out;
}

// Budgets of one edge type as read during validation.
struct EdgeBudgets {
  bool is_count = true;
  std::vector<int64_t> counts;  // count budgets, one per hop
  py::object windows;           // window budgets: the caller's value itself
};

// Addresses of the samplers whose constructor has completed and whose
// destructor has not run. Only addresses are compared: storage that was
// never constructed is never read.
std::mutex& registry_mutex() {
  static std::mutex mutex;
  return mutex;
}
std::unordered_set<const PySampler*>& registry() {
  static std::unordered_set<const PySampler*> live;
  return live;
}

// Runs `work` with the interpreter lock let go. Taking the lock back may end
// this thread (see park_if_ended), so it is taken back by a plain call, not
// by a release guard's destructor, which is noexcept and would call
// std::terminate on that path; and `work` leaves no lock of its own held
// when it returns, so that a thread parked there holds none. A failure of
// `work` is handed back, not thrown, once the lock is held again.
template <typename Work>
std::exception_ptr run_without_interpreter_lock(Work&& work) {
  PyThreadState* const state = PyEval_SaveThread();
  std::exception_ptr failure;
  try {
    work();
  } catch (...) {  // only the engine runs here: nothing that ends the thread
    failure = std::current_exception();
  }
  park_if_ended([state] { PyEval_RestoreThread(state); });
  return failure;
}

}  // namespace

void park_thread_for_good() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

bool PySampler::is_constructed(const PySampler* sampler) {
  const std::lock_guard<std::mutex> lock(registry_mutex());
  return registry().count(sampler) > 0;
}

PySampler::~PySampler() {
  const std::lock_guard<std::mutex> lock(registry_mutex());
  registry().erase(this);
}

PySampler::PySampler(const std::vector<std::string>& node_types,
                     std::vector<std::tuple<std::string, std::string, std::string>> edge_types,
                     const py::dict& colptr, const py::dict& row, const py::dict& node_time,
                     int seed)
    : store_(node_types, to_edge_types(std::move(edge_types))),
      engine_(static_cast<uint32_t>(seed)) {
  const auto& keys = store_.edge_type_keys();
  const NameIndex& allowed_keys = store_.edge_type_key_positions();
  validate_typed_dict(colptr, "colptr", allowed_keys, 1, true);
  validate_typed_dict(row, "row", allowed_keys, 1, true);
  is_temporal_ = py::len(node_time) > 0;
  validate_typed_dict(node_time, "node_time", store_.node_type_positions(), 1, true);

  for (size_t e = 0; e < keys.size(); ++e) {
    const py::str key = make_str(keys[e]);
    const Int64View colptr_view = take_view(colptr[key], keys[e], "colptr");
    const Int64View row_view = take_view(row[key], keys[e], "row");
    store_.set_edge_arrays(static_cast<int64_t>(e), colptr_view, row_view);
  }
  const auto& types = store_.node_types();
  for (size_t t = 0; t < types.size(); ++t) {
    const py::str key = make_str(types[t]);
    if (!dict_contains(node_time, key)) continue;
    store_.set_node_time(static_cast<int64_t>(t), take_view(node_time[key], types[t], "node_time"));
  }
  const std::lock_guard<std::mutex> lock(registry_mutex());
  registry().insert(this);
}

Int64View PySampler::take_view(const py::object& value, const std::string& key,
                               const std::string& name) {
  py::array array = to_array(value);
  // Ask for the buffer as a strided, formatted, read-only export; arrays
  // that cannot export one fail here with NumPy's error.
  Py_buffer buffer;
  if (PyObject_GetBuffer(array.ptr(), &buffer, PyBUF_RECORDS_RO) != 0) {
    throw py::error_already_set();
  }
  PyBuffer_Release(&buffer);
  // A dict subclass may return something else on lookup than it held while
  // it was validated; hold the looked-up value to the same rules.
  check_array(array, "Type '" + key + "' in " + name, 1, true);
  if (array.size() == 0) return Int64View{};
  if (!readable_in_place(array)) {
    // Strided, misaligned or byte-swapped: read by value, once.
    array = ContiguousInt64(array);
  }
  keep_alive_.push_back(array);
  return Int64View{static_cast<const int64_t*>(array.data()),
                   static_cast<int64_t>(array.size())};
}

SampleOutput PySampler::sample(const py::dict& num_neighbors,
                               const py::dict& sampling_time_offsets,
                               const std::string& entity_table, const py::array& seed_node,
                               const py::array& seed_time) {
  const auto& keys = store_.edge_type_keys();
  const auto& edge_types = store_.edge_types();
  const NameIndex& allowed_keys = store_.edge_type_key_positions();
  validate_typed_dict(num_neighbors, "num_neighbors", allowed_keys, 1, true);
  validate_typed_dict(sampling_time_offsets, "sampling_time_offsets", allowed_keys, 2, false);
  validate_array(seed_node, "seed_node", 1, true);
  validate_array(seed_time, "seed_time", 1, true);

  SampleRequest request;
  request.entity = store_.node_type_index(entity_table);
  if (request.entity < 0) {
    throw std::runtime_error("Invalid entity table '" + entity_table + "'.");
  }
  if (is_temporal_ && seed_time.size() > 0 && seed_time.size() != seed_node.size()) {
    throw std::runtime_error("'seed_node' and 'seed_time' size mismatch.");
  }

  // One budget per edge type; the hop count is the longest.
  std::vector<EdgeBudgets> budgets(keys.size());
  int64_t num_hops = 0;
  for (size_t e = 0; e < keys.size(); ++e) {
    const std::string& key = keys[e];
    const py::str py_key = make_str(key);
    const bool in_counts = dict_contains(num_neighbors, py_key);
    if (in_counts && dict_contains(sampling_time_offsets, py_key)) {
      throw std::runtime_error(
          "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. '" +
          key + "' appears in both.");
    }
    if (in_counts) {
      const py::array counts = to_array(num_neighbors[py_key]);
      // A dict subclass may hand out another value than the one validated.
      check_array(counts, "Type '" + key + "' in num_neighbors", 1, true);
      budgets[e].counts = copy_int64(counts);
      num_hops = std::max<int64_t>(num_hops, static_cast<int64_t>(counts.size()));
      continue;
    }
    // Not a count budget: a window budget, or a KeyError for K.
    py::object value = sampling_time_offsets[py_key];
    const py::array windows = to_array(value);
    if (windows.ndim() >= 1) {
      num_hops = std::max<int64_t>(num_hops, static_cast<int64_t>(windows.shape(0)));
    }
    const std::string& src = edge_types[e].src;
    const int64_t src_type = store_.node_type_index(src);
    if (src_type < 0 || !store_.has_node_time(src_type)) {
      throw std::runtime_error("'sampling_time_offsets' contains '" + key + "' but " + src +
                               " is not included in 'node_time'.");
    }
    if (windows.ndim() != 2 || windows.shape(1) != 2) {
      throw std::runtime_error("'sampling_time_offsets' at '" + key +
                               "' does not have shape (N, 2).");
    }
    budgets[e].is_count = false;
    budgets[e].windows = std::move(value);
  }

  request.seeds = copy_int64(seed_node);
  request.seed_times = copy_int64(seed_time);
  request.num_hops = num_hops;

  // Read every budget now, in the order the hop loop uses them, so sampling
  // can run without the interpreter. A failed read ends the reading; the
  // engine samples up to that step and the error is raised afterwards.
  const auto num_edges = static_cast<int64_t>(keys.size());
  // All budgets are held at once; a hop count too large for that (say from
  // a broadcast view) is refused like any container that would grow too long.
  if (num_edges > 0 &&
      num_hops > static_cast<int64_t>(request.budgets.max_size()) / num_edges) {
    throw std::length_error("vector too long");
  }
  request.budgets.resize(static_cast<size_t>(num_hops * num_edges));
  std::exception_ptr read_error;
  for (int64_t hop = 0; hop < num_hops && !read_error; ++hop) {
    for (int64_t e = 0; e < num_edges; ++e) {
      const EdgeBudgets& b = budgets[static_cast<size_t>(e)];
      Budget& out = request.budgets[static_cast<size_t>(hop * num_edges + e)];
      if (b.is_count) {
        // Missing hops of a shorter budget sample nothing.
        out = Budget::Count(hop < static_cast<int64_t>(b.counts.size())
                                ? b.counts[static_cast<size_t>(hop)]
                                : 0);
        continue;
      }
      try {
        // The row is read from the caller's value itself, element by element,
        // with pybind11's integer conversion; None in column 0 means no lower
        // bound.
        const py::object row = b.windows[py::int_(hop)];
        const py::object first = row[py::int_(0)];
        out.kind = Budget::Kind::kWindow;
        if (!first.is_none()) {
          out.has_lower = true;
          out.lower = py::cast<int64_t>(first);
        }
        out.upper = py::cast<int64_t>(row[py::int_(1)]);
      } catch (...) {
        read_error = std::current_exception();
        request.stop_hop = hop;
        request.stop_edge = e;
        break;
      }
    }
  }

  // The engine runs without the interpreter lock. The instance lock is taken
  // only after the interpreter lock is released, so waiting for it never
  // blocks other Python threads, and it is released before the interpreter
  // lock is taken back: no Python code runs while it is held. Creating the
  // result's objects can run Python code (a garbage collection, and with it
  // a __del__ or a gc callback) that calls this sampler again, so the result
  // is moved out of the engine first.
  RunStatus status = RunStatus::kComplete;
  SampleResult result;
  const std::exception_ptr failure = run_without_interpreter_lock([&] {
    const std::lock_guard<std::mutex> lock(mutex_);
    status = engine_.run(store_, request);
    if (status == RunStatus::kComplete) result = engine_.take_result();
  });
  if (failure) std::rethrow_exception(failure);
  if (status == RunStatus::kStopped) std::rethrow_exception(read_error);

  py::dict row_dict, col_dict, node_dict, batch_dict, num_nodes_dict, num_edges_dict;
  const auto& types = store_.node_types();
  for (size_t t = 0; t < types.size(); ++t) {
    const py::str key = make_str(types[t]);
    node_dict[key] = to_numpy(result.nodes[t]);
    num_nodes_dict[key] = to_numpy(result.num_nodes[t]);
    batch_dict[key] = to_numpy(result.batches[t]);
  }
  for (size_t e = 0; e < keys.size(); ++e) {
    const py::str key = make_str(keys[e]);
    num_edges_dict[key] = to_numpy(result.num_edges[e]);
    row_dict[key] = to_numpy(result.rows[e]);
    col_dict[key] = to_numpy(result.cols[e]);
  }
  // The buffers go back to the engine for the next call, unless another
  // thread is sampling with it right now; waiting for that while holding
  // the interpreter lock would stall every Python thread.
  {
    const std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (lock.owns_lock()) engine_.recycle_result(std::move(result));
  }
  return SampleOutput{row_dict, col_dict, node_dict, batch_dict, num_nodes_dict, num_edges_dict};
}

}  // namespace tovalib
