// The exception classes of the core module, created once per process.
#include "bindings/common.hpp"

namespace velora::bindings {

namespace {

struct ExceptionClass {
    const char* dotted_name;
    const char* doc;
    PyObject* (*base)();  // nullptr: Exception
    PyObject* cached;
};

PyObject* base_exception_of_velora() { return velora_error_type(); }
PyObject* base_exception_builtin() { return PyExc_BaseException; }

ExceptionClass g_velora_error{"velora.VeloraError", "Base exception for all Velora errors.", nullptr, nullptr};
ExceptionClass g_decapsulation_error{"velora.DecapsulationError", "ML-KEM structural decapsulation error.",
                                     base_exception_of_velora, nullptr};
ExceptionClass g_decryption_error{"velora.DecryptionError", "AES-GCM authentication tag verification failed.",
                                  base_exception_of_velora, nullptr};
ExceptionClass g_invalid_parameter_error{"velora.InvalidParameterError",
                                         "Invalid parameter (buffer size, security level).", base_exception_of_velora,
                                         nullptr};
ExceptionClass g_rng_error{"velora.RngError", "CSPRNG not available from the operating system.",
                           base_exception_of_velora, nullptr};
ExceptionClass g_key_serialization_error{
    "velora.KeySerializationError",
    "Invalid key serialization format (PEM header, JSON, magic bytes, truncated blob).", base_exception_of_velora,
    nullptr};
// Raised for broken internal invariants; deliberately not an Exception, so
// that ordinary `except Exception` handlers do not swallow it.
ExceptionClass g_panic_exception{"velora.PanicException", "Internal invariant of the velora core was violated.",
                                 base_exception_builtin, nullptr};

// Creates the class once per process. The cache is only read and written with
// the interpreter lock held; if class creation ever let another thread in and
// that thread created it first, the first class stays and ours is dropped.
PyObject* get_or_create(ExceptionClass& cls) {
    if (cls.cached != nullptr) return cls.cached;
    PyObject* base = cls.base ? cls.base() : PyExc_Exception;
    if (base == nullptr) return nullptr;
    PyObject* created = PyErr_NewExceptionWithDoc(cls.dotted_name, cls.doc, base, nullptr);
    if (created == nullptr) {
        if (&cls != &g_panic_exception) {
            PyErr_Clear();
            raise_panic("Failed to initialize new exception type.");
        }
        return nullptr;
    }
    return cache_type(cls.cached, created, cls.dotted_name);  // owned by the cache for the life of the process
}

}  // namespace

PyObject* velora_error_type() { return get_or_create(g_velora_error); }
PyObject* decapsulation_error_type() { return get_or_create(g_decapsulation_error); }
PyObject* decryption_error_type() { return get_or_create(g_decryption_error); }
PyObject* invalid_parameter_error_type() { return get_or_create(g_invalid_parameter_error); }
PyObject* rng_error_type() { return get_or_create(g_rng_error); }
PyObject* key_serialization_error_type() { return get_or_create(g_key_serialization_error); }
PyObject* panic_exception_type() { return get_or_create(g_panic_exception); }

}  // namespace velora::bindings
