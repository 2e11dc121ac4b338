// The `tovalib` extension module: registers NeighborSampler, its
// constructor and its `sample` method. Conversion and sampling live below.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <new>
#include <unordered_set>

#include "module/py_sampler.h"

namespace py = pybind11;

namespace {

// Marks an instance whose __init__ is running, for as long as it runs. A
// second __init__ on the same instance meanwhile (from a dict subclass's
// __getitem__, say) is refused: two constructions would both install a
// sampler in the one instance. The set is only touched with the
// interpreter lock held.
class ConstructionGuard {
 public:
  explicit ConstructionGuard(const void* instance) : instance_(instance) {
    if (!running().insert(instance_).second) {
      throw py::type_error(
          "NeighborSampler.__init__() called on an instance whose __init__ is still running");
    }
  }
  ~ConstructionGuard() { running().erase(instance_); }
  ConstructionGuard(const ConstructionGuard&) = delete;
  ConstructionGuard& operator=(const ConstructionGuard&) = delete;

 private:
  static std::unordered_set<const void*>& running() {
    static std::unordered_set<const void*> instances;
    return instances;
  }
  const void* instance_;
};

}  // namespace

PYBIND11_MODULE(tovalib, m) {
  // pybind11 looks NumPy's C API up on the first use of any array type, and
  // lets the interpreter lock go around that lookup, taking it back in a
  // guard's destructor. Left to the first use, that is the first sampler
  // built, often in a worker thread; if the interpreter exits meanwhile,
  // taking the lock back ends the thread (pthread_exit) inside that noexcept
  // destructor, and std::terminate aborts the process. Looked up here, in
  // the importing thread, before any sampler exists, so that pybind11 itself
  // never lets the lock go inside a constructor or a `sample` call.
  py::detail::npy_api::get();

  // Allocation failures read "bad allocation" whatever the C++ runtime's
  // own wording.
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError, "bad allocation");
    }
  });

  // Both bodies run inside park_if_ended, so that a thread the interpreter
  // ends anywhere inside them never unwinds into pybind11's dispatcher,
  // which owns the converted arguments and its own copy of the keyword dict.
  // The engine's release parks at the release itself, where nothing above it
  // unwinds; this catches the rest (NumPy letting the lock go in a large
  // conversion, Python code a dict subclass runs), after the frames in
  // between have unwound.
  using Class = py::class_<tovalib::PySampler>;
  Class(m, "NeighborSampler")
      // The constructor binding written out, as py::init would generate it,
      // so that it can see the instance: reading the dictionaries runs
      // Python code, which may call __init__ again on the same instance.
      .def("__init__",
           [](py::detail::value_and_holder& v_h, const std::vector<std::string>& node_types,
              std::vector<std::tuple<std::string, std::string, std::string>> edge_types,
              const py::dict& colptr, const py::dict& row, const py::object& node_time,
              int seed) {
             tovalib::park_if_ended([&] {
               const ConstructionGuard guard(v_h.inst);
               // Any mapping or iterable of pairs becomes a dict; a dict (or
               // subclass) is used as it is.
               const py::dict node_time_dict(node_time);
               auto sampler = std::make_unique<tovalib::PySampler>(
                   node_types, std::move(edge_types), colptr, row, node_time_dict, seed);
               py::detail::initimpl::construct<Class>(v_h, std::move(sampler), false);
             });
           },
           py::detail::is_new_style_constructor(),
           py::arg("node_types"), py::arg("edge_types"), py::arg("colptr"), py::arg("row"),
           py::arg("node_time"), py::arg("seed") = 123)
      .def("sample",
           [](tovalib::PySampler& self, const py::dict& num_neighbors,
              const py::dict& sampling_time_offsets, const std::string& entity_table,
              const py::array& seed_node, const py::array& seed_time) {
             return tovalib::park_if_ended([&] {
               if (!tovalib::PySampler::is_constructed(&self)) {
                 throw py::type_error(
                     "NeighborSampler.sample() called on an instance whose __init__ did not run");
               }
               return self.sample(num_neighbors, sampling_time_offsets, entity_table, seed_node,
                                  seed_time);
             });
           },
           py::arg("num_neighbors"),
           py::arg("sampling_time_offsets"), py::arg("entity_table"), py::arg("seed_node"),
           py::arg("seed_time"));
}
