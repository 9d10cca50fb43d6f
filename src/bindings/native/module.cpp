// Entry point of `velora._velora_native`: multi-phase initialisation with one
// execution slot that registers the module's rows (register_module), as the
// core module does.
#include <array>

#include "bindings/native/native.hpp"

namespace velora::bindings {

namespace {

int exec_module(PyObject* module) {
    if (!import_core_module()) return -1;
    // One row per concern, in registration (and __all__) order.
    const std::array rows = {
        module_functions(kBuildInfoFunctions),
        module_functions(kKeysFunctions),
        module_functions(kXWingFunctions),
        module_functions(kHpkeFunctions),
        module_functions(kAgeFunctions),
        module_functions(kVfileFunctions),
        module_functions(kMlDsaFunctions),
        module_class("SecretKey", keys_secret_key_type, /*listed=*/false),
    };
    return register_module(module, rows);
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
