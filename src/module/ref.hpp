// Owning reference to a Python object: releases it when it goes out of scope,
// so every exit path, exceptional ones included, drops what it took.
#pragma once

#include <utility>

#include "module/python.hpp"

namespace quibra::py {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a new reference (may be null).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes a new strong reference to a borrowed object (may be null).
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quibra::py
