#include "module/results.hpp"

namespace quibra::py {

Ref created(PyObject* object) {
  if (object == nullptr) {
    PyErr_WriteUnraisable(nullptr);
    throw InternalFault("PyObject pointer is null");
  }
  return Ref::steal(object);
}

Ref ListItems::into_list() {
  Ref list = created(PyList_New(static_cast<Py_ssize_t>(size_)));
  for (std::size_t at = 0; at < size_; ++at) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(at), items_[at]);  // steals the item
  }
  size_ = 0;
  return list;
}

}  // namespace quibra::py
