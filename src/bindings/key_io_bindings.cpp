// Public-key text forms: URL-safe Base64.
#include "bindings/registry.hpp"
#include "bindings/types.hpp"
#include "core/kem.hpp"

namespace velora::bindings {

namespace {

PyObject* serialize_public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"public_key"};
        PyObject* a[1];
        std::span<const std::uint8_t> pk;
        if (!parse_args({"serialize_public_key", names, 1}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_bytes(a[0], "public_key", &pk)) return nullptr;
        return to_str(kem::public_key_to_b64(pk));
    });
}

PyObject* deserialize_public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"b64", "level"};
        PyObject* a[2];
        std::string_view text;
        std::uint8_t level = 0;
        if (!parse_args({"deserialize_public_key", names, 1}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_str(a[0], "b64", &text) || !arg_level(a[1], "level", &level)) return nullptr;
        return result_or_raise(kem::public_key_from_b64(text, level),
                               [](std::vector<std::uint8_t>& key) { return to_bytes(key); });
    });
}

}  // namespace

PyObject* keypair_public_key_b64(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return to_str(kem::public_key_to_b64(as_keypair(self)->keys->ek)); });
}

const char kKeyPairPublicKeyB64Doc[] =
    "public_key_b64($self)\n--\n\n"
    "Serializa la clave publica a Base64 URL-safe sin padding.\n\n"
    "Returns:\n    str con la clave publica en Base64 URL-safe, sin padding `=`.";


PyMethodDef kSerializePublicKeyDef = {
    "serialize_public_key", VELORA_FASTCALL(serialize_public_key), METH_FASTCALL | METH_KEYWORDS,
    "serialize_public_key(public_key)\n--\n\n"
    "Serializa una llave publica ML-KEM a Base64 URL-safe sin padding.\n\n"
    "Args:\n    public_key: bytes de la llave publica.\n\n"
    "Returns:\n    str en Base64 URL-safe sin padding."};

PyMethodDef kDeserializePublicKeyDef = {
    "deserialize_public_key", VELORA_FASTCALL(deserialize_public_key), METH_FASTCALL | METH_KEYWORDS,
    "deserialize_public_key(b64, level=...)\n--\n\n"
    "Deserializa una llave publica ML-KEM desde Base64 URL-safe.\n\n"
    "Args:\n    b64: str en Base64 URL-safe (se toleran espacios alrededor y padding `=`).\n"
    "    level: SecurityLevel (por defecto ML_KEM_768).\n\n"
    "Returns:\n    bytes de la llave publica.\n\n"
    "Errors:\n    VeloraError si el Base64 es invalido.\n"
    "    InvalidParameterError si el tamano no corresponde al nivel."};

}  // namespace velora::bindings
