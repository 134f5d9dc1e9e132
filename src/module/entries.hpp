// The module's functions, one PyMethodDef each, defined beside their entry.
#pragma once

#include "module/python.hpp"

namespace quibra::py {

// The fast calling convention with keywords.
using FastFunction = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

inline PyMethodDef fast_function(const char* name, FastFunction function, const char* doc) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
}

extern PyMethodDef fuse_def;
extern PyMethodDef compute_pagerank_def;
extern PyMethodDef content_hash_def;
extern PyMethodDef batch_content_hash_def;
extern PyMethodDef pack_budget_def;
extern PyMethodDef compute_hotspots_def;
extern PyMethodDef tokenize_def;
extern PyMethodDef tokenize_query_def;
extern PyMethodDef stem_word_def;
extern PyMethodDef verify_canary_def;

}  // namespace quibra::py
