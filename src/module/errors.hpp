// How failures travel inside the module and how they reach Python.
//
// Inside a call, failures are C++ exceptions:
//   PythonError    a Python exception is already set (a conversion or a
//                  Python API call failed); it is passed on as it is.
//   InternalFault  a broken invariant; raised as pyo3_runtime.PanicException
//                  carrying the message.
//   std::bad_alloc becomes MemoryError; any other std::exception escaping a
//                  core becomes the PanicException with its what() text.
// `guarded` is the one place where they are turned into the interpreter's
// error indicator; every function the interpreter calls runs its body in it,
// so no C++ exception ever crosses into the interpreter.
#pragma once

#include <new>
#include <stdexcept>
#include <type_traits>

#include "module/python.hpp"
#include "module/ref.hpp"

namespace quibra::py {

struct PythonError {};

class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws PythonError when `object` is null (a failed API call), else owns it.
inline Ref checked(PyObject* object) {
  if (object == nullptr) throw PythonError{};
  return Ref::steal(object);
}

// Sets the pending exception to pyo3_runtime.PanicException(message).
void set_internal_fault(const char* message) noexcept;

template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  using Result = decltype(body());
  try {
    return body();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    set_internal_fault(fault.what());
  } catch (...) {
    set_internal_fault("unknown internal fault");
  }
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return Result(-1);
  }
}

}  // namespace quibra::py
