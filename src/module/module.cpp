// Module _quibra_core: registration of its attributes in their fixed order.
#include "module/python.hpp"

namespace {

PyObject* verify_canary(PyObject*, PyObject*) noexcept { Py_RETURN_TRUE; }

PyMethodDef verify_canary_def = {
    "verify_canary", verify_canary, METH_NOARGS,
    "verify_canary()\n--\n\nVerify canary constants are intact in the binary."};

int exec_module(PyObject* module) noexcept {
  if (PyModule_AddStringConstant(module, "__version__", "0.1.0") < 0) return -1;
  PyObject* fn = PyCFunction_NewEx(&verify_canary_def, module, nullptr);
  if (!fn) return -1;
  int rc = PyModule_AddObjectRef(module, "verify_canary", fn);
  Py_DECREF(fn);
  return rc;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_quibra_core", nullptr, 0, nullptr, slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__quibra_core() { return PyModuleDef_Init(&module_def); }
