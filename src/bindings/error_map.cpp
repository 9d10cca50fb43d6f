// The one mapping from core errors to the exception classes. Shared by both
// extension modules: each supplies the class getters (the core module creates
// the classes, the native module borrows them from the core module).
#include <string>

#include "bindings/common.hpp"

namespace velora::bindings {

PyObject* set_error(PyObject* type, std::string_view message) {
    if (type == nullptr) return nullptr;
    PyRef text(to_str(message));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* core_error_to_pyerr(const VeloraError& err) {
    using Kind = VeloraError::Kind;
    switch (err.kind) {
        case Kind::InvalidParameter:
            return set_error(invalid_parameter_error_type(), err.message);
        case Kind::Rng:
            return set_error(rng_error_type(), "CSPRNG not available");
        case Kind::Decapsulation:
            return set_error(decapsulation_error_type(), err.message);
        case Kind::Decryption:
            return set_error(decryption_error_type(), "AES-GCM authentication tag verification failed");
        case Kind::Base64: {
            std::string text = "base64 decode error: ";
            text.append(err.message);
            return set_error(velora_error_type(), text);
        }
        case Kind::KeySerialization:
            return set_error(key_serialization_error_type(), err.message);
    }
    raise_panic("unknown core error kind");
    return nullptr;
}

}  // namespace velora::bindings
