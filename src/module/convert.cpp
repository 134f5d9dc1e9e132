#include "module/convert.hpp"

#include <algorithm>
#include <cstring>

namespace quibra::py {
namespace {

[[noreturn]] void type_error(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  throw PythonError{};
}

// A length reported by an arbitrary sequence's __len__ is only a hint: it
// may be wrong or huge, so at most this many elements are reserved up front.
constexpr std::size_t reserve_cap = 1 << 16;

bool type_attribute_is(PyTypeObject* type, const char* attribute, const char* expected) {
  Ref value = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(value.get()) &&
         PyUnicode_CompareWithASCIIString(value.get(), expected) == 0;
}

bool is_numpy_bool(PyTypeObject* type) {
  return type_attribute_is(type, "__module__", "numpy") &&
         (type_attribute_is(type, "__name__", "bool_") || type_attribute_is(type, "__name__", "bool"));
}

}  // namespace

void type_mismatch(PyObject* value, const char* target) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    throw PythonError{};
  }
  Ref name = checked(PyType_GetQualName(Py_TYPE(value)));
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
  throw PythonError{};
}

void prefix_argument_error(const char* name) noexcept {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref original_type = Ref::steal(type);
  Ref original = Ref::steal(value);
  Ref original_traceback = Ref::steal(traceback);

  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
  if (!message) return;  // the formatting error is the one reported
  Ref replacement = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals `cause`
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

Text to_text(PyObject* value) {
  if (!PyUnicode_Check(value)) type_mismatch(value, "str");
  return Text{Ref::borrow(value), utf8_of(value)};
}

Ref exact_text(PyObject* value) {
  const Text text = to_text(value);
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  return checked(PyUnicode_FromStringAndSize(text.bytes.data(), static_cast<Py_ssize_t>(text.bytes.size())));
}

std::string_view utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw PythonError{};
  return std::string_view(data, static_cast<std::size_t>(size));
}

double to_float(PyObject* value) {
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) throw PythonError{};
  return result;
}

std::uint64_t to_u64(PyObject* value) {
  Ref integer = PyLong_Check(value) ? Ref::borrow(value) : checked(PyNumber_Index(value));
  const unsigned long long result = PyLong_AsUnsignedLongLong(integer.get());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return result;
}

bool to_bool(PyObject* value) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  PyTypeObject* type = Py_TYPE(value);
  if (!is_numpy_bool(type)) type_mismatch(value, "bool");
  auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (truth == nullptr) {
    Ref name = checked(PyType_GetQualName(type));
    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                 name.get());
    throw PythonError{};
  }
  const int result = truth(value);
  if (result < 0) throw PythonError{};
  return result != 0;
}

Ref to_dict_object(PyObject* value) {
  if (!PyDict_Check(value)) type_mismatch(value, "dict");
  return Ref::borrow(value);
}

unsigned char to_byte(PyObject* value) {
  const long result = PyLong_AsLong(value);
  if (result == -1 && PyErr_Occurred()) throw PythonError{};
  if (result < 0 || result > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw PythonError{};
  }
  return static_cast<unsigned char>(result);
}

ByteContent to_bytes(PyObject* value) {
  if (!PyBytes_Check(value)) type_mismatch(value, "bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(value, &data, &size) < 0) throw PythonError{};
  return ByteContent{Ref::borrow(value),
                     {reinterpret_cast<const unsigned char*>(data), static_cast<std::size_t>(size)},
                     {}};
}

ByteContent to_byte_content(PyObject* value) {
  if (PyBytes_Check(value)) return to_bytes(value);
  if (PyByteArray_Check(value)) {
    const auto* data = reinterpret_cast<const unsigned char*>(PyByteArray_AsString(value));
    return ByteContent{{}, {}, {data, data + PyByteArray_Size(value)}};
  }
  return ByteContent{{}, {}, to_list(value, to_byte)};
}

std::size_t begin_sequence(PyObject* value) {
  if (PyUnicode_Check(value)) type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(value)) type_mismatch(value, "Sequence");
  // A list or tuple, subclasses included, holds its items in its own storage:
  // the size kept there counts items that are really present, and reading it
  // runs no Python code. A subclass's __len__ may say anything and is not
  // asked.
  if (PyList_Check(value)) return static_cast<std::size_t>(PyList_Size(value));
  if (PyTuple_Check(value)) return static_cast<std::size_t>(PyTuple_Size(value));
  const Py_ssize_t length = PySequence_Size(value);
  if (length < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(static_cast<std::size_t>(length), reserve_cap);
}

Ref dict_item(PyObject* dict, PyObject* key) {
  PyObject* item = PyDict_GetItemWithError(dict, key);
  if (item == nullptr && PyErr_Occurred()) throw PythonError{};
  return Ref::borrow(item);
}

}  // namespace quibra::py
