// SecurityLevel and KeyPair: the shared Python classes.
#pragma once

#include "bindings/common.hpp"
#include "core/mlkem/keygen.hpp"

namespace velora::bindings {

// engine name: "MlKem512", "MlKem768", "MlKem1024"
const char* level_engine_name(std::uint8_t index);

struct KeyPairObject {
    PyObject_HEAD
    mlkem::KeyPairBytes* keys;  // owned; immutable after creation
    std::uint8_t level;         // parameter-set index
};

PyObject* keypair_type();
// Moves the keys into a new KeyPair object (new reference, nullptr on error).
PyObject* keypair_new(mlkem::KeyPairBytes&& keys, std::uint8_t level_index);
inline KeyPairObject* as_keypair(PyObject* self) { return reinterpret_cast<KeyPairObject*>(self); }

// KeyPair methods implemented by the key import/export bindings.
PyObject* keypair_public_key_b64(PyObject* self, PyObject* unused);
PyObject* keypair_public_key_pem(PyObject* self, PyObject* unused);
PyObject* keypair_public_key_json(PyObject* self, PyObject* unused);
PyObject* keypair_export_secret_key_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* keypair_export_secret_key_pem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kKeyPairPublicKeyB64Doc[];
extern const char kKeyPairPublicKeyPemDoc[];
extern const char kKeyPairPublicKeyJsonDoc[];
extern const char kKeyPairExportSecretKeyRawDoc[];
extern const char kKeyPairExportSecretKeyPemDoc[];

}  // namespace velora::bindings
