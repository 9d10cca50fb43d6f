// Entry point of `velora._velora_native`: multi-phase initialisation with one
// execution slot that registers every concern's functions.
#include <array>

#include "bindings/native/native.hpp"

namespace velora::bindings {

namespace {

// One table per concern, in registration order.
const std::array<FunctionTable, 3> kTables = {
    kXWingTable,
    kHpkeTable,
    kAgeTable,
};

int exec_module(PyObject* module) {
    if (!import_core_module()) return -1;
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyRef all(PyList_New(0));
    if (!all) return -1;
    for (FunctionTable table : kTables) {
        for (PyMethodDef& def : table) {
            PyRef fn(PyCFunction_NewEx(&def, module, module_name.get()));
            PyRef name(PyUnicode_FromString(def.ml_name));
            if (!fn || !name || PyList_Append(all.get(), name.get()) < 0 ||
                PyObject_SetAttr(module, name.get(), fn.get()) < 0) {
                return -1;
            }
        }
    }
    return PyObject_SetAttrString(module, "__all__", all.get());
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_velora_native",
    "Native code of the velora package beyond the core module: key formats, protocols and build facts.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace velora::bindings

PyMODINIT_FUNC PyInit__velora_native(void) {
    return PyModuleDef_Init(&velora::bindings::kModuleDef);
}
