// Module entry point: multi-phase initialisation with one execution slot.
#include "bindings/registry.hpp"
#include "bindings/types.hpp"

namespace velora::bindings {

namespace {

// Appends the name to __all__ (creating the list on first use), then sets the attribute.
bool add_name(PyObject* module, const char* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    PyRef text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

bool add_class(PyObject* module, const char* name, PyObject* (*get)()) {
    PyObject* cls = get();  // borrowed from the process-wide cache
    return cls != nullptr && add_name(module, name, cls);
}

// The function's __module__ is module_name, the module's own name (for
// example "velora._velora_core").
bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    PyRef fn(PyCFunction_NewEx(def, module, module_name));
    return fn && add_name(module, def->ml_name, fn.get());
}

// One row per registered name, in registration (and __all__) order.
struct Entry {
    const char* class_name;       // set for classes
    PyObject* (*get_class)();
    PyMethodDef* function;        // set for functions
};

const Entry kRegistry[] = {
    {"VeloraError", velora_error_type, nullptr},
    {"DecapsulationError", decapsulation_error_type, nullptr},
    {"DecryptionError", decryption_error_type, nullptr},
    {"InvalidParameterError", invalid_parameter_error_type, nullptr},
    {"RngError", rng_error_type, nullptr},
    {"KeySerializationError", key_serialization_error_type, nullptr},
    {"SecurityLevel", security_level_type, nullptr},
    {"KeyPair", keypair_type, nullptr},
    {nullptr, nullptr, &kGenerateKeypairDef},
    {nullptr, nullptr, &kEncapsulateDef},
    {nullptr, nullptr, &kDecapsulateDef},
    {nullptr, nullptr, &kSerializePublicKeyDef},
    {nullptr, nullptr, &kDeserializePublicKeyDef},
    {nullptr, nullptr, &kGenerateKeypairDeterministicDef},
    {nullptr, nullptr, &kEncapsulateDeterministicDef},
    {nullptr, nullptr, &kEncryptHybridDef},
    {nullptr, nullptr, &kDecryptHybridDef},
    {nullptr, nullptr, &kLoadPublicKeyPemDef},
    {nullptr, nullptr, &kLoadPublicKeyJsonDef},
    {nullptr, nullptr, &kLoadSecretKeyRawDef},
    {nullptr, nullptr, &kLoadSecretKeyPemDef},
    {"StreamEncryptorHandle", stream_encryptor_type, nullptr},
    {"StreamDecryptorHandle", stream_decryptor_type, nullptr},
    {nullptr, nullptr, &kStreamEncryptorNewDef},
    {nullptr, nullptr, &kStreamDecryptorFromHeaderDef},
};

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "_velora_core registration expects a module object");
        return -1;
    }
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (const Entry& e : kRegistry) {
        const bool ok = e.function ? add_function(module, module_name.get(), e.function)
                                   : add_class(module, e.class_name, e.get_class);
        if (!ok) return -1;
    }
    return 0;
}

// Filled by PyInit (fill_module_slots): exec, and the sub-interpreter
// declaration on CPython 3.12 and later.
PyModuleDef_Slot kSlots[3] = {};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_velora_core",
    "Modulo Python `_velora_core`.\n\nRegistra todas las funciones, clases y excepciones expuestas a Python.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace velora::bindings

PyMODINIT_FUNC PyInit__velora_core(void) {
    velora::bindings::fill_module_slots(velora::bindings::kSlots, velora::bindings::exec_module);
    return PyModuleDef_Init(&velora::bindings::kModuleDef);
}
