// The `tovalib` extension module: registers NeighborSampler, its
// constructor and its `sample` method. Conversion and sampling live below.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <new>

#include "module/py_sampler.h"

namespace py = pybind11;

PYBIND11_MODULE(tovalib, m) {
  // Allocation failures read "bad allocation" whatever the C++ runtime's
  // own wording.
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError, "bad allocation");
    }
  });

  py::class_<tovalib::PySampler>(m, "NeighborSampler")
      .def(py::init([](const std::vector<std::string>& node_types,
                       std::vector<std::tuple<std::string, std::string, std::string>> edge_types,
                       const py::dict& colptr, const py::dict& row, const py::object& node_time,
                       int seed) {
             // Any mapping or iterable of pairs becomes a dict; a dict (or
             // subclass) is used as it is.
             const py::dict node_time_dict(node_time);
             return std::make_unique<tovalib::PySampler>(node_types, std::move(edge_types),
                                                         colptr, row, node_time_dict, seed);
           }),
           py::arg("node_types"), py::arg("edge_types"), py::arg("colptr"), py::arg("row"),
           py::arg("node_time"), py::arg("seed") = 123)
      .def("sample",
           [](tovalib::PySampler& self, const py::dict& num_neighbors,
              const py::dict& sampling_time_offsets, const std::string& entity_table,
              const py::array& seed_node, const py::array& seed_time) {
             if (!tovalib::PySampler::is_constructed(&self)) {
               throw py::type_error(
                   "NeighborSampler.sample() called on an instance whose __init__ did not run");
             }
             return self.sample(num_neighbors, sampling_time_offsets, entity_table, seed_node,
                                seed_time);
           },
           py::arg("num_neighbors"),
           py::arg("sampling_time_offsets"), py::arg("entity_table"), py::arg("seed_node"),
           py::arg("seed_time"));
}
