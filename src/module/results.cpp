#include "module/results.hpp"

namespace quibra::py {

Ref created(PyObject* object) {
  if (object == nullptr) {
    PyErr_WriteUnraisable(nullptr);
    throw InternalFault("PyObject pointer is null");
  }
  return Ref::steal(object);
}

}  // namespace quibra::py
