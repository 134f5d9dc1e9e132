// Building the Python objects of a result. The interpreter fails to create
// a text, number, list or dict only when memory runs out; such a failure is
// reported as an internal fault ("PyObject pointer is null") after the
// interpreter's own error has gone to its unraisable hook. Inserting into a
// result dict reports the interpreter's error as it is.
#pragma once

#include <cstdint>
#include <string_view>

#include "module/errors.hpp"
#include "module/python.hpp"
#include "module/ref.hpp"

namespace quibra::py {

// Owns a freshly created result object, or fails as described above.
Ref created(PyObject* object);

inline Ref new_text(std::string_view utf8) {
  return created(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
// A result text equal to the argument text `original` (whose UTF-8 bytes are
// `utf8`): `original` itself when it is exactly a str, since a str cannot
// change and its hash may already be cached; a new str for a subclass.
inline Ref same_text(PyObject* original, std::string_view utf8) {
  return PyUnicode_CheckExact(original) ? Ref::borrow(original) : new_text(utf8);
}
inline Ref new_float(double value) { return created(PyFloat_FromDouble(value)); }
inline Ref new_int(std::uint64_t value) {
  return created(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}
inline Ref new_dict() { return created(PyDict_New()); }

// Inserts key -> value; a failure raises the interpreter's error unchanged.
inline void dict_insert(PyObject* dict, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(dict, key, value) < 0) throw PythonError{};
}

// A list of exactly `items.size()` elements, element i made by make(items[i]).
template <class Items, class Make>
Ref new_list(Items&& items, Make&& make) {
  Ref list = created(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  Py_ssize_t at = 0;
  for (auto&& item : items) {
    PyList_SetItem(list.get(), at++, make(item).release());  // steals the element
  }
  return list;
}

// A tuple of the given items, in order.
template <class... Items>
Ref new_tuple(Items&&... items) {
  Ref tuple = created(PyTuple_New(sizeof...(Items)));
  Py_ssize_t at = 0;
  (PyTuple_SetItem(tuple.get(), at++, items.release()), ...);
  return tuple;
}

}  // namespace quibra::py
