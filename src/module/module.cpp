// Module _quibra_core: its definition and the registration of its attributes.
//
// Python view of what the execution step builds, in this order:
//   __version__ = "0.1.0"
//   class ChannelResult, class FusedResult
//   def fuse(...), def compute_pagerank(...)
//   class PackedItem
//   def pack_budget(...), compute_hotspots(...), content_hash(...),
//       batch_content_hash(...), tokenize(...), tokenize_query(...),
//       stem_word(...), verify_canary()
//   __all__ = [every name above, in that order]
#include "module/classes.hpp"
#include "module/entries.hpp"
#include "module/errors.hpp"
#include "module/results.hpp"

namespace quibra::py {
namespace {

PyObject* verify_canary(PyObject*, PyObject*) noexcept { Py_RETURN_TRUE; }

using Make = Ref (*)();

// One row per attribute, in the module's fixed attribute order. A function
// row is named by its PyMethodDef (read at execution time: the definitions
// live in other files, whose static initialisation order is unknown here).
struct Attribute {
  const char* name;
  Make make;
  PyMethodDef* function;
};

constexpr Attribute value(const char* name, Make make) { return {name, make, nullptr}; }
constexpr Attribute function(PyMethodDef& def) { return {nullptr, nullptr, &def}; }

template <PyObject* ProcessObjects::*Class>
Ref class_object() {
  return Ref::borrow(process_objects().*Class);
}

constexpr Attribute attributes[] = {
    value("__version__", [] { return new_text("0.1.0"); }),
    value("ChannelResult", class_object<&ProcessObjects::channel_result>),
    value("FusedResult", class_object<&ProcessObjects::fused_result>),
    function(fuse_def),
    function(compute_pagerank_def),
    value("PackedItem", class_object<&ProcessObjects::packed_item>),
    function(pack_budget_def),
    function(compute_hotspots_def),
    function(content_hash_def),
    function(batch_content_hash_def),
    function(tokenize_def),
    function(tokenize_query_def),
    function(stem_word_def),
    function(verify_canary_def),
};

// Appends `name` to the module's __all__ (creating the list on first use),
// then sets the attribute.
void add(PyObject* module, const char* name, Ref object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError{};
  }
  Ref text = checked(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) throw PythonError{};
  if (PyObject_SetAttrString(module, name, object.get()) < 0) throw PythonError{};
}

int exec_module(PyObject* module) noexcept {
  return guarded([&] {
    Ref module_name = checked(PyModule_GetNameObject(module));
    for (const Attribute& attribute : attributes) {
      Ref object = attribute.function
                       ? checked(PyCFunction_NewEx(attribute.function, module, module_name.get()))
                       : attribute.make();
      add(module, attribute.function ? attribute.function->ml_name : attribute.name,
          std::move(object));
    }
    return 0;
  });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quibra_core",
    "_quibra_core \xe2\x80\x94 compiled ranking engine for the Quibra retrieval suite.\n"
    "\n"
    "Fuses ranked result channels and packs symbols into a token budget.\n"
    "Tokenizes code for BM25, ranks files by PageRank over their imports,\n"
    "scores hotspots and hashes file contents.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMethodDef verify_canary_def = {
    "verify_canary", verify_canary, METH_NOARGS,
    "verify_canary()\n--\n\nVerify canary constants are intact in the binary."};

}  // namespace quibra::py

PyMODINIT_FUNC PyInit__quibra_core() { return PyModuleDef_Init(&quibra::py::module_def); }
