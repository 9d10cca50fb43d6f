// Key import and export: public keys as URL-safe Base64, PEM-like text and
// JSON; secret keys as a password-wrapped blob and its PEM-like armour.
#include <utility>

#include "bindings/registry.hpp"
#include "bindings/types.hpp"
#include "core/key_wrap/key_wrap.hpp"
#include "core/keys/key_text.hpp"

namespace velora::bindings {

namespace {

PyObject* serialize_public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"public_key"};
        PyObject* a[1];
        std::span<const std::uint8_t> pk;
        if (!parse_args({"serialize_public_key", names, 1}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_bytes(a[0], "public_key", &pk)) return nullptr;
        return to_str(key_text::public_key_to_b64(pk));
    });
}

PyObject* deserialize_public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"b64", "level"};
        PyObject* a[2];
        std::string_view text;
        PyRef text_storage;
        std::uint8_t level = 0;
        if (!parse_args({"deserialize_public_key", names, 1}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_str(a[0], "b64", &text, text_storage) || !arg_level(a[1], "level", &level)) return nullptr;
        return result_or_raise(key_text::public_key_from_b64(text, level), to_bytes);
    });
}

PyObject* load_public_key_pem(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"pem", "level"};
        PyObject* a[2];
        std::string_view text;
        PyRef text_storage;
        std::uint8_t level = 0;
        if (!parse_args({"load_public_key_pem", names, 1}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_str(a[0], "pem", &text, text_storage) || !arg_level(a[1], "level", &level)) return nullptr;
        return result_or_raise(key_text::public_key_from_pem(text, level), to_bytes);
    });
}

PyObject* load_public_key_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"json"};
        PyObject* a[1];
        std::string_view text;
        PyRef text_storage;
        if (!parse_args({"load_public_key_json", names, 1}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_str(a[0], "json", &text, text_storage)) return nullptr;
        return result_or_raise(key_text::public_key_from_json(text), [](key_text::PublicKeyWithLevel& r) -> PyObject* {
            PyRef key(to_bytes(r.public_key));
            PyRef level(security_level_for_index(r.level));
            if (!key || !level) return nullptr;
            return PyTuple_Pack(2, key.get(), level.get());
        });
    });
}

// (secret key bytes, SecurityLevel). The engine's copy of the key is wiped
// when `opened` goes out of scope, after the bytes object holds it.
PyObject* secret_key_tuple(key_wrap::UnwrappedSecretKey& opened) {
    PyRef key(to_bytes(opened.secret_key.span()));
    PyRef level(security_level_for_index(opened.level_id));
    if (!key || !level) return nullptr;
    return PyTuple_Pack(2, key.get(), level.get());
}

PyObject* load_secret_key_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"blob", "password"};
        PyObject* a[2];
        std::span<const std::uint8_t> blob, password;
        if (!parse_args({"load_secret_key_raw", names, 2}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_bytes(a[0], "blob", &blob) || !arg_bytes(a[1], "password", &password)) return nullptr;
        auto opened = without_gil([&] { return key_wrap::unwrap_secret_key(blob, password); });
        return result_or_raise(std::move(opened), secret_key_tuple);
    });
}

PyObject* load_secret_key_pem(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"pem", "password"};
        PyObject* a[2];
        std::string_view text;
        PyRef text_storage;
        std::span<const std::uint8_t> password;
        if (!parse_args({"load_secret_key_pem", names, 2}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_str(a[0], "pem", &text, text_storage) || !arg_bytes(a[1], "password", &password)) return nullptr;
        // Armour and Base64 with the lock held; only the unwrapping releases it.
        auto blob = key_text::secret_key_blob_from_pem(text);
        if (!blob) return core_error_to_pyerr(blob.error());
        auto opened = without_gil([&] { return key_wrap::unwrap_secret_key(*blob, password); });
        return result_or_raise(std::move(opened), secret_key_tuple);
    });
}

// Wraps the pair's secret key under `password` with the lock released (the
// pair is immutable and kept alive by the call), then build(blob).
template <class Build>
PyObject* export_wrapped_secret_key(PyObject* self, const char* method, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, Build&& build) {
    static const char* const names[] = {"password"};
    PyObject* a[1];
    std::span<const std::uint8_t> password;
    if (!parse_args({method, names, 1}, args, nargs, kwnames, a)) return nullptr;
    if (!arg_bytes(a[0], "password", &password)) return nullptr;
    const KeyPairObject* kp = as_keypair(self);
    auto blob = without_gil([&] { return key_wrap::wrap_secret_key_blob(kp->keys->dk, kp->level, password); });
    return result_or_raise(std::move(blob), std::forward<Build>(build));
}

}  // namespace

PyObject* keypair_public_key_pem(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return to_str(key_text::public_key_to_pem(as_keypair(self)->keys->ek)); });
}

PyObject* keypair_public_key_json(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const KeyPairObject* kp = as_keypair(self);
        return to_str(key_text::public_key_to_json(kp->keys->ek, kp->level));
    });
}

PyObject* keypair_export_secret_key_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return export_wrapped_secret_key(self, "export_secret_key_raw", args, nargs, kwnames, to_bytes);
    });
}

PyObject* keypair_export_secret_key_pem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return export_wrapped_secret_key(self, "export_secret_key_pem", args, nargs, kwnames,
                                         [](std::vector<std::uint8_t>& b) {
                                             return to_str(key_text::secret_key_blob_to_pem(b));
                                         });
    });
}

PyObject* keypair_public_key_b64(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return to_str(key_text::public_key_to_b64(as_keypair(self)->keys->ek)); });
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

const char kKeyPairPublicKeyPemDoc[] =
    "public_key_pem($self)\n--\n\n"
    "Exporta la clave publica en formato PEM-like ML-KEM.\n\n"
    "Formato::\n\n"
    "    -----BEGIN ML-KEM PUBLIC KEY-----\n"
    "    <Base64 STANDARD, lineas de 64 chars>\n"
    "    -----END ML-KEM PUBLIC KEY-----\n\n"
    "No es DER/ASN.1. Es un formato propietario legible inspirado en PEM.\n\n"
    "Returns:\n    str: La clave publica como PEM-like, terminada en salto de linea.";

const char kKeyPairPublicKeyJsonDoc[] =
    "public_key_json($self)\n--\n\n"
    "Exporta la clave publica en formato JSON.\n\n"
    "Formato (una linea, sin espacios)::\n\n"
    "    {\"algorithm\":\"ML-KEM\",\"level\":\"ML_KEM_768\",\"public_key\":\"<Base64 URL-safe sin padding>\"}\n\n"
    "Returns:\n    str: El JSON con los campos `algorithm`, `level` y `public_key`.";

const char kKeyPairExportSecretKeyRawDoc[] =
    "export_secret_key_raw($self, password)\n--\n\n"
    "Exporta la clave secreta cifrada como blob binario opaco.\n\n"
    "Layout del blob: magic(\"VLPK\") | version(1) | level_id(1) | salt(16)\n"
    "| nonce(12) | ciphertext | tag(16). Se cifra con AES-256-GCM usando\n"
    "una clave derivada de `password` via HKDF-SHA3-256.\n\n"
    "Libera el GIL durante HKDF + AES-GCM.\n\n"
    "Args:\n    password (bytes): Contrasena para derivar la clave de cifrado.\n\n"
    "Returns:\n    bytes: Blob binario opaco listo para persistir.\n\n"
    "Raises:\n    RngError: Si el CSPRNG no esta disponible.\n"
    "    InvalidParameterError: Si la llave secreta tiene tamano incorrecto.";

const char kKeyPairExportSecretKeyPemDoc[] =
    "export_secret_key_pem($self, password)\n--\n\n"
    "Exporta la clave secreta cifrada en formato PEM-like ENCRYPTED.\n\n"
    "Formato::\n\n"
    "    -----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----\n"
    "    <Base64 STANDARD del blob cifrado>\n"
    "    -----END ENCRYPTED ML-KEM PRIVATE KEY-----\n\n"
    "Args:\n    password (bytes): Contrasena para cifrar.\n\n"
    "Returns:\n    str: La clave privada cifrada como PEM.";

PyMethodDef kLoadPublicKeyPemDef = {
    "load_public_key_pem", VELORA_FASTCALL(load_public_key_pem), METH_FASTCALL | METH_KEYWORDS,
    "load_public_key_pem(pem, level=...)\n--\n\n"
    "Carga una llave publica desde formato PEM-like ML-KEM.\n\n"
    "Se ignora el texto antes del header y despues del footer, y todo espacio\n"
    "en blanco dentro del cuerpo.\n\n"
    "Args:\n    pem (str): String con header `-----BEGIN ML-KEM PUBLIC KEY-----`.\n"
    "    level (SecurityLevel): Nivel esperado (por defecto ML_KEM_768).\n\n"
    "Returns:\n    bytes: La llave publica, lista para `encapsulate` o `VeloraCipher`.\n\n"
    "Raises:\n    KeySerializationError: Si faltan header/footer o el Base64 STANDARD es invalido.\n"
    "    InvalidParameterError: Si el tamano no corresponde al nivel."};

PyMethodDef kLoadPublicKeyJsonDef = {
    "load_public_key_json", VELORA_FASTCALL(load_public_key_json), METH_FASTCALL | METH_KEYWORDS,
    "load_public_key_json(json)\n--\n\n"
    "Carga una llave publica desde JSON.\n\n"
    "Campos requeridos (strings):\n"
    "    algorithm: \"ML-KEM\"\n"
    "    level: \"ML_KEM_512\", \"ML_KEM_768\" o \"ML_KEM_1024\"\n"
    "    public_key: Base64 URL-safe sin padding\n\n"
    "Args:\n    json (str): Texto JSON producido por `KeyPair.public_key_json`.\n\n"
    "Returns:\n    tuple[bytes, SecurityLevel]: (public_key, nivel)\n\n"
    "Raises:\n    KeySerializationError: Si falta un campo, no es string, o algorithm/level no son validos.\n"
    "    VeloraError: Si public_key no es Base64 URL-safe valido.\n"
    "    InvalidParameterError: Si el tamano no corresponde al nivel."};

PyMethodDef kLoadSecretKeyRawDef = {
    "load_secret_key_raw", VELORA_FASTCALL(load_secret_key_raw), METH_FASTCALL | METH_KEYWORDS,
    "load_secret_key_raw(blob, password)\n--\n\n"
    "Descifra y retorna la llave secreta desde un blob binario.\n\n"
    "Args:\n    blob (bytes): Blob producido por `KeyPair.export_secret_key_raw`.\n"
    "    password (bytes): Contrasena usada al cifrar.\n\n"
    "Returns:\n    tuple[bytes, SecurityLevel]: (secret_key, nivel)\n\n"
    "Raises:\n    DecryptionError: Si la contrasena es incorrecta o el blob esta corrupto.\n"
    "    KeySerializationError: Si magic/version son invalidos o el blob esta truncado."};

PyMethodDef kLoadSecretKeyPemDef = {
    "load_secret_key_pem", VELORA_FASTCALL(load_secret_key_pem), METH_FASTCALL | METH_KEYWORDS,
    "load_secret_key_pem(pem, password)\n--\n\n"
    "Descifra y retorna la llave secreta desde un PEM-like ENCRYPTED.\n\n"
    "Args:\n    pem (str): String PEM con header `-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----`.\n"
    "    password (bytes): Contrasena usada al cifrar.\n\n"
    "Returns:\n    tuple[bytes, SecurityLevel]: (secret_key, nivel)\n\n"
    "Raises:\n    DecryptionError: Si la contrasena es incorrecta o el blob esta corrupto.\n"
    "    KeySerializationError: Si el PEM/Base64/magic son invalidos."};

}  // namespace velora::bindings
