// Building the Python objects of a result. The interpreter fails to create
// a text, number, list or dict only when memory runs out; such a failure is
// reported as an internal fault ("PyObject pointer is null") after the
// interpreter's own error has gone to its unraisable hook. Inserting into a
// result dict reports the interpreter's error as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
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

// Containers are exposed only once they are complete. Creating any object the
// collector tracks (a dict, a list) may start a collection on the spot, and a
// collection runs Python code (gc.callbacks, __del__) that can reach every
// tracked container, as can the unraisable hook that `created` calls: a list
// or tuple with an empty slot must never be there to be found. So the items
// are built first, and the container is created and filled in one stretch in
// which nothing allocates and no Python code runs.

// New references to the `count` items of a result list, held until the list
// takes them over; whatever is still held when it goes is released. A short
// list's items stay on the stack.
class ListItems {
 public:
  explicit ListItems(std::size_t count)
      : items_(count <= std::size(inline_) ? inline_ : new PyObject*[count]), capacity_(count) {}
  ListItems(const ListItems&) = delete;
  ListItems& operator=(const ListItems&) = delete;
  ~ListItems() {
    while (size_ > 0) Py_DECREF(items_[--size_]);
    if (items_ != inline_) delete[] items_;
  }

  void add(Ref&& item) {
    if (size_ == capacity_) throw InternalFault("more list items than counted");
    items_[size_++] = item.release();
  }

  // The list of the items, in order, which takes all of them over.
  Ref into_list();

 private:
  PyObject* inline_[32];
  PyObject** items_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

// A list of exactly `items.size()` elements, element i made by make(items[i]).
template <class Items, class Make>
Ref new_list(Items&& items, Make&& make) {
  ListItems built(std::size(items));
  for (auto&& item : items) built.add(make(item));
  return built.into_list();
}

// A list of objects that already exist, element i a new reference to
// pick(items[i]) (a borrowed PyObject*). Nothing is created per element, so
// the list can be made at its final length and filled directly.
template <class Items, class Pick>
Ref list_of_existing(const Items& items, Pick&& pick) {
  Ref list = created(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  Py_ssize_t at = 0;
  for (const auto& item : items) {
    PyList_SetItem(list.get(), at++, Py_NewRef(pick(item)));  // steals the new reference
  }
  return list;
}

// A tuple of the given items, in order. The items are complete before the
// tuple is created (they are the arguments), and filling it allocates
// nothing.
template <class... Items>
Ref new_tuple(Items&&... items) {
  Ref tuple = created(PyTuple_New(sizeof...(Items)));
  Py_ssize_t at = 0;
  (PyTuple_SetItem(tuple.get(), at++, items.release()), ...);
  return tuple;
}

}  // namespace quibra::py
