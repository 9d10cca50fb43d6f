// Entry point of `velora._velora_core`: multi-phase initialisation with one
// execution slot that registers the module's rows (register_module).
#include <array>

#include "bindings/registry.hpp"
#include "bindings/types.hpp"

namespace velora::bindings {

namespace {

int exec_module(PyObject* module) {
    // One row per registered name, in registration (and __all__) order.
    const std::array rows = {
        module_class("VeloraError", velora_error_type),
        module_class("DecapsulationError", decapsulation_error_type),
        module_class("DecryptionError", decryption_error_type),
        module_class("InvalidParameterError", invalid_parameter_error_type),
        module_class("RngError", rng_error_type),
        module_class("KeySerializationError", key_serialization_error_type),
        module_class("SecurityLevel", security_level_type),
        module_class("KeyPair", keypair_type),
        module_function(kGenerateKeypairDef),
        module_function(kEncapsulateDef),
        module_function(kDecapsulateDef),
        module_function(kSerializePublicKeyDef),
        module_function(kDeserializePublicKeyDef),
        module_function(kGenerateKeypairDeterministicDef),
        module_function(kEncapsulateDeterministicDef),
        module_function(kEncryptHybridDef),
        module_function(kDecryptHybridDef),
        module_function(kLoadPublicKeyPemDef),
        module_function(kLoadPublicKeyJsonDef),
        module_function(kLoadSecretKeyRawDef),
        module_function(kLoadSecretKeyPemDef),
        module_class("StreamEncryptorHandle", stream_encryptor_type),
        module_class("StreamDecryptorHandle", stream_decryptor_type),
        module_function(kStreamEncryptorNewDef),
        module_function(kStreamDecryptorFromHeaderDef),
    };
    return register_module(module, rows);
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
