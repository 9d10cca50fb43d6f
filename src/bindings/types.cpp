// SecurityLevel and KeyPair classes.
#include "bindings/types.hpp"

#include <array>
#include <cstdio>
#include <structmember.h>

#include "platform/wipe.hpp"
#include "primitives/sha3.hpp"

namespace velora::bindings {

namespace {

// ---- SecurityLevel ----------------------------------------------------------

struct SecurityLevelObject {
    PyObject_HEAD
    std::uint16_t value;  // 512, 768 or 1024
};

constexpr std::array<std::uint16_t, 3> kLevelValues = {512, 768, 1024};
constexpr std::array<const char*, 3> kLevelReprs = {"SecurityLevel.ML_KEM_512", "SecurityLevel.ML_KEM_768",
                                                    "SecurityLevel.ML_KEM_1024"};
constexpr std::array<const char*, 3> kLevelAttrs = {"ML_KEM_512", "ML_KEM_768", "ML_KEM_1024"};
constexpr std::array<const char*, 3> kEngineNames = {"MlKem512", "MlKem768", "MlKem1024"};

PyObject* g_security_level_type = nullptr;
std::array<PyObject*, 3> g_level_members = {nullptr, nullptr, nullptr};

std::uint8_t index_of_value(std::uint16_t value) { return value == 512 ? 0 : value == 768 ? 1 : 2; }

PyObject* level_repr(PyObject* self) {
    const auto* lv = reinterpret_cast<SecurityLevelObject*>(self);
    return PyUnicode_FromString(kLevelReprs[index_of_value(lv->value)]);
}

PyObject* level_int(PyObject* self) {
    return PyLong_FromLong(reinterpret_cast<SecurityLevelObject*>(self)->value);
}

PyObject* compare_result(bool equal, int op) {
    if (op == Py_EQ) return PyBool_FromLong(equal);
    if (op == Py_NE) return PyBool_FromLong(!equal);
    Py_RETURN_NOTIMPLEMENTED;
}

PyObject* level_richcompare(PyObject* self, PyObject* other, int op) {
    const long value = reinterpret_cast<SecurityLevelObject*>(self)->value;
    if (PyObject_TypeCheck(other, reinterpret_cast<PyTypeObject*>(g_security_level_type))) {
        return compare_result(value == reinterpret_cast<SecurityLevelObject*>(other)->value, op);
    }
    // Integers compare by value; anything that does not convert falls back
    // to the interpreter's default.
    const long n = PyLong_AsLong(other);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    return compare_result(value == n, op);
}

// Pickled by reference, as the qualified name of the class attribute
// ("SecurityLevel.ML_KEM_768" in module "velora"): unpickling, copy and
// deepcopy give back the very singleton.
PyObject* level_reduce(PyObject* self, PyObject*) {
    const auto* lv = reinterpret_cast<SecurityLevelObject*>(self);
    return PyUnicode_FromFormat("SecurityLevel.%s", kLevelAttrs[index_of_value(lv->value)]);
}

PyMethodDef kSecurityLevelMethods[] = {
    {"__reduce__", level_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSecurityLevelSlots[] = {
    {Py_tp_doc, const_cast<char*>("Nivel de seguridad ML-KEM.\n\n"
                                  "Los miembros siguen la convencion de nombres en mayusculas de Python.")},
    {Py_tp_repr, reinterpret_cast<void*>(level_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(level_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_int, reinterpret_cast<void*>(level_int)},
    {Py_tp_methods, kSecurityLevelMethods},
    {0, nullptr},
};

PyType_Spec kSecurityLevelSpec = {
    "velora.SecurityLevel",
    sizeof(SecurityLevelObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kSecurityLevelSlots,
};

PyObject* create_member(PyTypeObject* type, std::uint8_t index) {
    auto* obj = PyObject_New(SecurityLevelObject, type);
    if (obj == nullptr) return nullptr;
    obj->value = kLevelValues[index];
    return reinterpret_cast<PyObject*>(obj);
}

// ---- KeyPair ----------------------------------------------------------------

PyObject* g_keypair_type = nullptr;

void keypair_dealloc(PyObject* self) {
    mlkem::KeyPairBytes* keys = as_keypair(self)->keys;
    // The secret key is overwritten before its memory goes back to the
    // allocator; the public key is released as it is.
    secure_zero(keys->dk.data(), keys->dk.size());
    delete keys;
    free_object(self);
}

PyObject* keypair_get_public_key(PyObject* self, void*) { return to_bytes(as_keypair(self)->keys->ek); }
PyObject* keypair_get_secret_key(PyObject* self, void*) { return to_bytes(as_keypair(self)->keys->dk); }
PyObject* keypair_get_level(PyObject* self, void*) { return security_level_for_index(as_keypair(self)->level); }

PyObject* keypair_repr(PyObject* self) {
    const KeyPairObject* kp = as_keypair(self);
    std::array<std::uint8_t, 32> digest{};
    primitives::sha3_256({kp->keys->ek}, digest);
    char fingerprint[17];
    for (std::size_t i = 0; i < 8; ++i) std::snprintf(fingerprint + 2 * i, 3, "%02x", digest[i]);
    return PyUnicode_FromFormat("KeyPair(level=%s, fp=%s)", level_engine_name(kp->level), fingerprint);
}

// A secret key does not leave the process silently, through pickle or copy.
PyObject* keypair_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError,
                    "cannot pickle a KeyPair: a secret key does not leave a process silently; export it with "
                    "export_secret_key_raw() or export_secret_key_pem(), or pass the public key alone");
    return nullptr;
}

PyGetSetDef kKeyPairGetSet[] = {
    {"public_key", keypair_get_public_key, nullptr, "Clave publica como bytes.", nullptr},
    {"secret_key", keypair_get_secret_key, nullptr, "Clave secreta como bytes.", nullptr},
    {"level", keypair_get_level, nullptr, "Nivel de seguridad con el que se genero el par.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kKeyPairMethods[] = {
    {"public_key_b64", keypair_public_key_b64, METH_NOARGS, kKeyPairPublicKeyB64Doc},
    {"public_key_pem", keypair_public_key_pem, METH_NOARGS, kKeyPairPublicKeyPemDoc},
    {"public_key_json", keypair_public_key_json, METH_NOARGS, kKeyPairPublicKeyJsonDoc},
    {"export_secret_key_raw", VELORA_FASTCALL(keypair_export_secret_key_raw), METH_FASTCALL | METH_KEYWORDS,
     kKeyPairExportSecretKeyRawDoc},
    {"export_secret_key_pem", VELORA_FASTCALL(keypair_export_secret_key_pem), METH_FASTCALL | METH_KEYWORDS,
     kKeyPairExportSecretKeyPemDoc},
    {"__reduce__", keypair_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kKeyPairSlots[] = {
    {Py_tp_doc, const_cast<char*>("Par de claves ML-KEM.\n\n"
                                  "Contiene la clave publica y la clave secreta como `bytes` de Python.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(keypair_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(keypair_repr)},
    {Py_tp_getset, kKeyPairGetSet},
    {Py_tp_methods, kKeyPairMethods},
    {0, nullptr},
};

PyType_Spec kKeyPairSpec = {
    "velora.KeyPair",
    sizeof(KeyPairObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kKeyPairSlots,
};

}  // namespace

PyObject* security_level_type() {
    if (g_security_level_type != nullptr) return g_security_level_type;
    PyObject* created = PyType_FromSpec(&kSecurityLevelSpec);
    if (created == nullptr) return cache_type(g_security_level_type, nullptr, "SecurityLevel");
    // The members live in the class dictionary. IMMUTABLETYPE makes the
    // class refuse setattr, so they are stored with the generic setter, whose
    // target for a class is its dictionary, before the class is handed out;
    // read back, each must be the object stored.
    auto* type = reinterpret_cast<PyTypeObject*>(created);
    std::array<PyRef, 3> members;
    for (std::uint8_t i = 0; i < 3; ++i) {
        members[i] = PyRef(create_member(type, i));
        PyRef name(PyUnicode_FromString(kLevelAttrs[i]));
        if (!members[i] || !name || PyObject_GenericSetAttr(created, name.get(), members[i].get()) < 0) {
            Py_DECREF(created);
            return cache_type(g_security_level_type, nullptr, "SecurityLevel");
        }
    }
    PyType_Modified(type);
    for (std::uint8_t i = 0; i < 3; ++i) {
        PyRef stored(PyObject_GetAttrString(created, kLevelAttrs[i]));
        if (stored.get() != members[i].get()) {
            Py_DECREF(created);
            return cache_type(g_security_level_type, nullptr, "SecurityLevel");
        }
    }
    if (g_security_level_type == nullptr) {
        for (std::uint8_t i = 0; i < 3; ++i) g_level_members[i] = members[i].release();
    }
    return cache_type(g_security_level_type, created, "SecurityLevel");
}

PyObject* security_level_for_index(std::uint8_t index) {
    if (security_level_type() == nullptr) return nullptr;
    PyObject* member = g_level_members[index <= 2 ? index : 2];
    Py_INCREF(member);
    return member;
}

std::optional<std::uint8_t> security_level_index(PyObject* member) {
    const std::uint16_t value = reinterpret_cast<SecurityLevelObject*>(member)->value;
    for (std::uint8_t i = 0; i < 3; ++i) {
        if (kLevelValues[i] == value) return i;
    }
    return std::nullopt;
}

const char* level_engine_name(std::uint8_t index) { return kEngineNames[index <= 2 ? index : 2]; }

PyObject* keypair_type() {
    return cached_type(g_keypair_type, &kKeyPairSpec, "KeyPair");
}

PyObject* keypair_new(mlkem::KeyPairBytes&& keys, std::uint8_t level_index) {
    PyObject* type = keypair_type();
    if (type == nullptr) return nullptr;
    auto* holder = new mlkem::KeyPairBytes(std::move(keys));
    auto* obj = PyObject_New(KeyPairObject, reinterpret_cast<PyTypeObject*>(type));
    if (obj == nullptr) {
        delete holder;
        return nullptr;
    }
    obj->keys = holder;
    obj->level = level_index;
    return reinterpret_cast<PyObject*>(obj);
}

}  // namespace velora::bindings
