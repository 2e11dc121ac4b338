// The Python-facing sampler: converts the constructor's dictionaries into a
// GraphStore of views and each `sample` request into a SampleRequest, runs
// the engine without the interpreter lock, and turns its result into six
// dictionaries of NumPy arrays.
//
//   PySampler s(node_types, edge_types, colptr, row, node_time, 123);
//   auto [row, col, node, batch, n_nodes, n_edges] = s.sample(...);
//
// The sampler holds a reference to every array it views (and to the
// contiguous copy of any array it could not view in place) for its whole
// life. Each instance has its own lock: concurrent calls on one instance run
// one after the other; calls on different instances run in parallel.
#ifndef TOVALIB_MODULE_PY_SAMPLER_H_
#define TOVALIB_MODULE_PY_SAMPLER_H_

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "sampling/engine.h"
#include "store/graph_store.h"

namespace tovalib {

namespace py = pybind11;

using SampleOutput =
    std::tuple<py::dict, py::dict, py::dict, py::dict, py::dict, py::dict>;

// Blocks the calling thread for good.
[[noreturn]] void park_thread_for_good();

// Runs `call` and returns what it returns. While the interpreter finalizes,
// CPython ends any other thread that asks for the interpreter lock with
// pthread_exit, whose forced unwind runs the cleanups of every frame above
// it: here, C++ frames that own Python objects (pybind11's dispatcher owns
// its own copy of a call's keyword dict, for one), which would then be
// released without the lock while the interpreter tears itself down. A
// thread ended inside `call` is parked here instead: the frames outside
// `call` are never unwound, as if the thread were still waiting for the
// lock (those inside it, between the exit and here, have unwound; so `call`
// should be as close to the exit as it can be).
// With another C++ runtime this only runs `call` (Windows ends such threads
// without unwinding them).
template <typename Call>
decltype(auto) park_if_ended(Call&& call) {
#if defined(__GLIBCXX__)
  try {
    return call();
  } catch (abi::__forced_unwind&) {
    park_thread_for_good();
  }
#else
  return call();
#endif
}

class PySampler {
 public:
  PySampler(const std::vector<std::string>& node_types,
            std::vector<std::tuple<std::string, std::string, std::string>> edge_types,
            const py::dict& colptr, const py::dict& row, const py::dict& node_time,
            int seed);
  ~PySampler();
  PySampler(const PySampler&) = delete;
  PySampler& operator=(const PySampler&) = delete;

  // Whether `sampler` points at a fully constructed sampler. Python code can
  // create an instance without running __init__ (NeighborSampler.__new__);
  // the binding then hands over storage that holds no sampler at all.
  static bool is_constructed(const PySampler* sampler);

  SampleOutput sample(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                      const std::string& entity_table, const py::array& seed_node,
                      const py::array& seed_time);

 private:
  // A view of `value` (looked up under `key` in the dictionary `name`), kept
  // alive by this sampler.
  Int64View take_view(const py::object& value, const std::string& key,
                      const std::string& name);

  GraphStore store_;
  bool is_temporal_ = false;
  std::vector<py::object> keep_alive_;
  SamplingEngine engine_;
  std::mutex mutex_;
};

}  // namespace tovalib

#endif  // TOVALIB_MODULE_PY_SAMPLER_H_
