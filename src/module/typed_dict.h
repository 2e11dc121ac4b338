// Validation of the typed dictionaries through which all per-type input
// arrives: keys must name declared types, values must be NumPy arrays of the
// expected number of dimensions and, where asked, of dtype int64.
//
//   validate_typed_dict(colptr, "colptr", store.edge_type_key_positions(), 1, true);
//   validate_array(seed_node, "seed_node", 1, true);
//
// Violations throw std::runtime_error with the caller-facing message; Python
// errors met on the way (str(), UTF-8 encoding, NumPy conversion) propagate
// as pybind11::error_already_set.
#ifndef TOVALIB_MODULE_TYPED_DICT_H_
#define TOVALIB_MODULE_TYPED_DICT_H_

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "store/graph_store.h"

namespace tovalib {

namespace py = pybind11;

// Walks the entries in the dictionary's own order and reports the first
// violation: an unlisted key, a wrong number of dimensions, a non-int64 dtype
// on a non-empty value. Missing keys are not reported here.
void validate_typed_dict(const py::dict& dict, const std::string& name,
                         const NameIndex& allowed_keys, int expected_ndim, bool check_int64);

// The same checks for one array, with `name` as the message prefix.
void validate_array(const py::array& array, const std::string& name, int expected_ndim,
                    bool check_int64);

// Checks dimensions and dtype of `array`, with messages that start with
// `prefix`.
void check_array(const py::array& array, const std::string& prefix, int expected_ndim,
                 bool check_int64);

// pybind11's object-to-array conversion: arrays (and subclasses) unchanged,
// anything else through NumPy with no requested dtype.
py::array to_array(const py::handle& value);

bool is_int64(const py::array& array);

// The UTF-8 text of Python's str() of `key`.
std::string key_text(const py::handle& key);

// A Python str made from UTF-8 bytes; a decoding failure propagates.
py::str make_str(const std::string& utf8);

// Membership as the dictionary itself holds it (a subclass's __contains__
// is not consulted).
bool dict_contains(const py::dict& dict, const py::handle& key);

}  // namespace tovalib

#endif  // TOVALIB_MODULE_TYPED_DICT_H_
