// Converters from Python arguments to native values, one per kind of value.
// Each returns the native value or throws PythonError with the Python
// exception set. Values whose bytes are borrowed (texts) carry a strong
// reference to their owner, because a conversion hook (__float__, __index__,
// iteration) may run arbitrary code that drops the caller's references.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "module/errors.hpp"
#include "module/python.hpp"
#include "module/ref.hpp"

namespace quibra::py {

// The UTF-8 bytes of a str, valid while `owner` lives.
struct Text {
  Ref owner;
  std::string_view bytes;
};

// TypeError "'{type}' object is not an instance of '{target}'".
[[noreturn]] void type_mismatch(PyObject* value, const char* target);

// Runs `convert` for the argument `name`; a TypeError it raises (that exact
// class) is replaced by one whose message starts "argument '{name}': " and
// which keeps the original's __cause__. Other exceptions pass unchanged.
void prefix_argument_error(const char* name) noexcept;

template <class Convert>
auto argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    prefix_argument_error(name);
    throw;
  }
}

// The bytes of a content: a view of a bytes object's buffer (held by
// `owner`), or a copy of anything else, which a later conversion hook could
// change while the call still needs the bytes.
struct ByteContent {
  Ref owner;
  std::span<const unsigned char> borrowed;
  std::vector<unsigned char> copied;

  std::span<const unsigned char> bytes() const noexcept {
    return owner ? borrowed : std::span<const unsigned char>(copied);
  }
};

// A parameter whose default is None: omitted and None both mean absent.
inline bool is_absent(PyObject* value) noexcept { return value == nullptr || value == Py_None; }

Text to_text(PyObject* value);             // str and subclasses
// A text kept as an exact `str` (a subclass instance is copied into a plain
// str), its UTF-8 form already validated; read it with utf8_of.
Ref exact_text(PyObject* value);
// The UTF-8 bytes of a str that has passed to_text or exact_text.
std::string_view utf8_of(PyObject* text);
double to_float(PyObject* value);          // the interpreter's float conversion
std::uint64_t to_u64(PyObject* value);     // int, subclasses, __index__; 0 .. 2^64-1
bool to_bool(PyObject* value);             // True/False and numpy's bool scalars
Ref to_dict_object(PyObject* value);       // a dict (or subclass) itself, unconverted
unsigned char to_byte(PyObject* value);    // an integer 0 .. 255, by the native long conversion
ByteContent to_bytes(PyObject* value);     // bytes and subclasses
// bytes or bytearray (and subclasses), else any sequence but a str of to_byte items
ByteContent to_byte_content(PyObject* value);

// Checks that `value` can be read as a list (any sequence but a str) and
// returns a capacity worth reserving for its elements: the real size of a
// list or tuple (subclasses included, whose __len__ is not asked), or for any
// other sequence what its __len__ says, capped, since it may lie.
std::size_t begin_sequence(PyObject* value);

// A list: every element converted by `element` (PyObject* -> T), in order.
template <class Element>
auto to_list(PyObject* value, Element&& element) {
  using T = decltype(element(std::declval<PyObject*>()));
  std::vector<T> items;
  items.reserve(begin_sequence(value));
  Ref iterator = checked(PyObject_GetIter(value));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    items.push_back(element(item.get()));
  }
  if (PyErr_Occurred()) throw PythonError{};
  return items;
}

// A pair: a tuple of exactly two items, converted first then second.
template <class First, class Second>
auto to_pair(PyObject* value, First&& first, Second&& second) {
  if (!PyTuple_Check(value)) type_mismatch(value, "tuple");
  const Py_ssize_t length = PyTuple_Size(value);
  if (length != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
    throw PythonError{};
  }
  // A tuple cannot change, and the caller holds it: its items stay alive.
  auto a = first(PyTuple_GetItem(value, 0));
  auto b = second(PyTuple_GetItem(value, 1));
  return std::pair{std::move(a), std::move(b)};
}

// Walks a dict (or subclass) with the dict's own iteration, calling
// entry(key, value) per entry in the dict's order. A conversion hook that
// resizes the dict or swaps its keys mid-walk is an internal fault.
template <class Entry>
void walk_dict(PyObject* value, Entry&& entry) {
  Ref dict = to_dict_object(value);
  const Py_ssize_t size = PyDict_Size(value);
  Py_ssize_t remaining = size;
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* item;
  for (;;) {
    if (PyDict_Size(value) != size) throw InternalFault("dictionary changed size during iteration");
    if (!PyDict_Next(value, &position, &key, &item)) break;
    if (remaining-- == 0) throw InternalFault("dictionary keys changed during iteration");
    // Held while converting: a hook may delete the entry from the dict.
    Ref held_key = Ref::borrow(key);
    Ref held_item = Ref::borrow(item);
    entry(held_key.get(), held_item.get());
  }
}

// A dict converted to (key, value) pairs, key before value, in dict order.
template <class Key, class Value>
auto to_dict(PyObject* value, Key&& key, Value&& item) {
  using K = decltype(key(std::declval<PyObject*>()));
  using V = decltype(item(std::declval<PyObject*>()));
  std::vector<std::pair<K, V>> entries;
  walk_dict(value, [&](PyObject* k, PyObject* v) {
    auto converted_key = key(k);
    entries.emplace_back(std::move(converted_key), item(v));
  });
  return entries;
}

// Exact lookup of a str key in a dict, bypassing a subclass's __getitem__
// and __missing__. Empty when the key is absent.
Ref dict_item(PyObject* dict, PyObject* key);

}  // namespace quibra::py
