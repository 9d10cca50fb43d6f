// Entry point of `velora._velora_native`: multi-phase initialisation with one
// execution slot that registers every concern's functions.
#include <array>

#include "bindings/native/native.hpp"

namespace velora::bindings {

namespace {

// One table per concern, in registration order.
const std::array<FunctionTable, 6> kTables = {
    kBuildInfoFunctions,
    keys_functions(),
    kXWingTable,
    kHpkeTable,
    kAgeTable,
    kVfileTable,
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
    // Classes of the concerns.
    PyObject* secret_key = keys_secret_key_type();
    if (secret_key == nullptr || PyModule_AddObjectRef(module, "SecretKey", secret_key) < 0) return -1;
    return PyObject_SetAttrString(module, "__all__", all.get());
}

// Filled by PyInit (fill_module_slots): exec, and the sub-interpreter
// declaration on CPython 3.12 and later.
PyModuleDef_Slot kSlots[3] = {};

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
    velora::bindings::fill_module_slots(velora::bindings::kSlots, velora::bindings::exec_module);
    return PyModuleDef_Init(&velora::bindings::kModuleDef);
}
