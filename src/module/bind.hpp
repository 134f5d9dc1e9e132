// Binding of call arguments to parameter names, with the interpreter's own
// wording for every binding error. Every parameter is positional-or-keyword;
// the first `required` have no default.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "module/errors.hpp"
#include "module/python.hpp"
#include "module/ref.hpp"

namespace quibra::py {

struct Signature {
  const char* name;  // as shown in messages: "fuse", "ChannelResult.__new__"
  std::span<const char* const> parameters;
  std::size_t required;
};

// Fills `slots` (one per parameter) with the bound arguments as borrowed
// references, null where a parameter was omitted; throws PythonError with
// the TypeError set otherwise. `args` holds the positional arguments, then
// the values of the keywords named in the `kwnames` tuple (which may be
// null), as in the fast calling convention.
void bind_into(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, std::span<PyObject*> slots);

template <std::size_t N>
std::array<PyObject*, N> bind(const Signature& signature, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  bind_into(signature, args, nargs, kwnames, slots);
  return slots;
}

// The same binding for the tuple-and-dict convention of a type's __new__.
// `keep` receives strong references to every bound value, which the caller
// holds for as long as it uses the slots.
template <std::size_t N>
std::array<PyObject*, N> bind(const Signature& signature, PyObject* args, PyObject* kwargs,
                              std::vector<Ref>& keep) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
  keep.reserve(static_cast<std::size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) keep.push_back(Ref::borrow(PyTuple_GetItem(args, i)));
  std::vector<Ref> keywords;
  keywords.reserve(static_cast<std::size_t>(nkw));
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (nkw > 0 && PyDict_Next(kwargs, &pos, &key, &value)) {
    keywords.push_back(Ref::borrow(key));
    keep.push_back(Ref::borrow(value));
  }
  // The names tuple is created once its items are gathered and filled at
  // once, so no collection can come upon it with an empty slot.
  Ref kwnames;
  if (!keywords.empty()) {
    kwnames = checked(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t at = 0;
    for (Ref& keyword : keywords) PyTuple_SetItem(kwnames.get(), at++, keyword.release());
  }
  std::vector<PyObject*> flat;
  flat.reserve(keep.size());
  for (const Ref& ref : keep) flat.push_back(ref.get());
  std::array<PyObject*, N> slots{};
  bind_into(signature, flat.data(), nargs, kwnames.get(), slots);
  return slots;
}

}  // namespace quibra::py
