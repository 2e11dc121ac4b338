#include "module/typed_dict.h"

#include <stdexcept>

namespace tovalib {

std::string key_text(const py::handle& key) {
  py::str text = py::str(key);  // str(key); a raising __str__ propagates
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();  // e.g. lone surrogates
  return std::string(data, static_cast<size_t>(size));
}

py::str make_str(const std::string& utf8) { return py::str(utf8); }

bool dict_contains(const py::dict& dict, const py::handle& key) {
  const int found = PyDict_Contains(dict.ptr(), key.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

py::array to_array(const py::handle& value) {
  return py::array(py::reinterpret_borrow<py::object>(value));
}

bool is_int64(const py::array& array) {
  return array.dtype().kind() == 'i' && array.itemsize() == 8;
}

void check_array(const py::array& array, const std::string& prefix, int expected_ndim,
                 bool check_int64) {
  if (array.ndim() != expected_ndim) {
    throw std::runtime_error(prefix + " is not " + std::to_string(expected_ndim) + "D.");
  }
  // No element, no dtype to speak of: empty arrays of any dtype pass.
  if (array.size() == 0) return;
  if (check_int64 && !is_int64(array)) {
    throw std::runtime_error(prefix + " must have dtype int64.");
  }
}

void validate_typed_dict(const py::dict& dict, const std::string& name,
                         const NameIndex& allowed_keys, int expected_ndim, bool check_int64) {
  Py_ssize_t pos = 0;
  PyObject* raw_key = nullptr;
  PyObject* raw_value = nullptr;
  while (PyDict_Next(dict.ptr(), &pos, &raw_key, &raw_value)) {
    // Own both: str() or NumPy may run Python code that changes the dict.
    const auto key = py::reinterpret_borrow<py::object>(raw_key);
    const auto value = py::reinterpret_borrow<py::object>(raw_value);
    const std::string text = key_text(key);
    if (allowed_keys.count(text) == 0) {
      throw std::runtime_error("Invalid type '" + text + "' found in " + name + ".");
    }
    const py::array array = to_array(value);
    check_array(array, "Type '" + text + "' in " + name, expected_ndim, check_int64);
  }
}

void validate_array(const py::array& array, const std::string& name, int expected_ndim,
                    bool check_int64) {
  check_array(array, name, expected_ndim, check_int64);
}

}  // namespace tovalib
