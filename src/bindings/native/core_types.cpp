// The native module raises the core module's exception classes and takes its
// SecurityLevel members, so that `except velora.DecryptionError` and
// `level is SecurityLevel.ML_KEM_768` hold whichever module a value came
// from. They are looked up once per process in `velora._velora_core`.
#include <array>

#include "bindings/common.hpp"
#include "bindings/native/native.hpp"

namespace velora::bindings {

namespace {

constexpr std::array<const char*, 3> kLevelAttrs = {"ML_KEM_512", "ML_KEM_768", "ML_KEM_1024"};

PyObject* g_core_module = nullptr;
PyObject* g_velora_error = nullptr;
PyObject* g_decapsulation_error = nullptr;
PyObject* g_decryption_error = nullptr;
PyObject* g_invalid_parameter_error = nullptr;
PyObject* g_rng_error = nullptr;
PyObject* g_key_serialization_error = nullptr;
PyObject* g_security_level = nullptr;
std::array<PyObject*, 3> g_level_members = {nullptr, nullptr, nullptr};

// A class of this module's own: the core module does not export its
// PanicException. Same name and base, raised only for broken invariants.
PyObject* g_panic_exception = nullptr;

// A borrowed attribute of the core module, kept for the life of the process.
PyObject* core_attr(PyObject*& cell, const char* name) {
    if (cell != nullptr) return cell;
    if (g_core_module == nullptr) {
        PyObject* module = PyImport_ImportModule("velora._velora_core");
        if (module == nullptr) return nullptr;
        if (g_core_module == nullptr) {
            g_core_module = module;
        } else {
            Py_DECREF(module);
        }
    }
    PyObject* value = PyObject_GetAttrString(g_core_module, name);
    if (value == nullptr) return nullptr;
    if (cell == nullptr) {
        cell = value;
    } else {
        Py_DECREF(value);
    }
    return cell;
}

}  // namespace

bool import_core_module() { return core_attr(g_security_level, "SecurityLevel") != nullptr; }

PyObject* velora_error_type() { return core_attr(g_velora_error, "VeloraError"); }
PyObject* decapsulation_error_type() { return core_attr(g_decapsulation_error, "DecapsulationError"); }
PyObject* decryption_error_type() { return core_attr(g_decryption_error, "DecryptionError"); }
PyObject* invalid_parameter_error_type() { return core_attr(g_invalid_parameter_error, "InvalidParameterError"); }
PyObject* rng_error_type() { return core_attr(g_rng_error, "RngError"); }
PyObject* key_serialization_error_type() {
    return core_attr(g_key_serialization_error, "KeySerializationError");
}

PyObject* panic_exception_type() {
    if (g_panic_exception != nullptr) return g_panic_exception;
    PyObject* created = PyErr_NewExceptionWithDoc("velora.PanicException",
                                                  "Internal invariant of the velora core was violated.",
                                                  PyExc_BaseException, nullptr);
    return cache_type(g_panic_exception, created, "velora.PanicException");
}

PyObject* security_level_type() { return core_attr(g_security_level, "SecurityLevel"); }

PyObject* security_level_for_index(std::uint8_t index) {
    PyObject* type = security_level_type();
    if (type == nullptr) return nullptr;
    const std::uint8_t i = index <= 2 ? index : 2;
    if (g_level_members[i] == nullptr) {
        PyObject* member = PyObject_GetAttrString(type, kLevelAttrs[i]);
        if (member == nullptr) return nullptr;
        if (g_level_members[i] == nullptr) {
            g_level_members[i] = member;
        } else {
            Py_DECREF(member);
        }
    }
    Py_INCREF(g_level_members[i]);
    return g_level_members[i];
}

// The members are the three singletons: identity tells the index.
std::optional<std::uint8_t> security_level_index(PyObject* member) {
    for (std::uint8_t i = 0; i < 3; ++i) {
        PyRef m(security_level_for_index(i));
        if (!m) return std::nullopt;  // the lookup's error stays set
        if (m.get() == member) return i;
    }
    return std::nullopt;
}

}  // namespace velora::bindings
