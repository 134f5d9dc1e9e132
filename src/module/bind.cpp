#include "module/bind.hpp"

#include <string>

namespace quibra::py {
namespace {

[[noreturn]] void fail(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonError{};
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) list += ",";
      list += " ";
      if (i + 1 == names.size()) list += "and ";
    }
    list += "'";
    list += names[i];
    list += "'";
  }
  return list;
}

[[noreturn]] void too_many_positional(const Signature& signature, Py_ssize_t given) {
  const std::size_t most = signature.parameters.size();
  std::string message = std::string(signature.name) + "() takes ";
  if (signature.required == most) {
    message += std::to_string(most);
  } else {
    message += "from " + std::to_string(signature.required) + " to " + std::to_string(most);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
             " given";
  fail(message);
}

// Keyword messages quote the caller's own keyword text, which need not be
// ASCII, so they are formatted by the interpreter.
[[noreturn]] void keyword_error(const Signature& signature, const char* what, PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s() %s '%U'", signature.name, what, keyword);
  throw PythonError{};
}

}  // namespace

void bind_into(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, std::span<PyObject*> slots) {
  const auto& parameters = signature.parameters;
  if (static_cast<std::size_t>(nargs) > parameters.size()) too_many_positional(signature, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    std::size_t at = 0;
    while (at < parameters.size() &&
           PyUnicode_CompareWithASCIIString(keyword, parameters[at]) != 0) {
      ++at;
    }
    if (at == parameters.size()) keyword_error(signature, "got an unexpected keyword argument", keyword);
    if (slots[at] != nullptr) keyword_error(signature, "got multiple values for argument", keyword);
    slots[at] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(parameters[i]);
  }
  if (!missing.empty()) {
    fail(std::string(signature.name) + "() missing " + std::to_string(missing.size()) +
         " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
         quoted_list(missing));
  }
}

}  // namespace quibra::py
