// encrypt_hybrid and decrypt_hybrid: the Transit Package from Python.
//
// The result object is allocated at its final size before the lock is
// released, and the engine writes the package (or the plaintext) straight
// into it: no intermediate buffer, no copy on the way out.
#include "bindings/registry.hpp"
#include "core/hybrid/hybrid.hpp"

namespace velora::bindings {

namespace {

using Bytes = std::span<const std::uint8_t>;

PyObject* encrypt_hybrid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"recipient_public_key", "plaintext", "level"};
        PyObject* a[3];
        Bytes ek, plaintext;
        std::uint8_t level = 0;
        if (!parse_args({"encrypt_hybrid", names, 2}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_bytes(a[0], "recipient_public_key", &ek) || !arg_bytes(a[1], "plaintext", &plaintext) ||
            !arg_level(a[2], "level", &level)) {
            return nullptr;
        }
        // Beyond GCM's limit no package is allocated (an empty output); the
        // engine then reports the key, the random source or the length, in
        // that order.
        const std::size_t n =
            plaintext.size() <= hybrid::kMaxPlaintextBytes ? hybrid::package_size(level, plaintext.size()) : 0;
        return bytes_written_without_gil(n, [&](std::span<std::uint8_t> out) {
            return hybrid::seal_transit_package_into(ek, plaintext, level, out);
        });
    });
}

PyObject* decrypt_hybrid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"encrypted_package", "secret_key", "level"};
        PyObject* a[3];
        Bytes package, dk;
        std::uint8_t level = 0;
        if (!parse_args({"decrypt_hybrid", names, 2}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_bytes(a[0], "encrypted_package", &package) || !arg_bytes(a[1], "secret_key", &dk) ||
            !arg_level(a[2], "level", &level)) {
            return nullptr;
        }
        auto n = hybrid::plaintext_size(package.size(), level);
        if (!n) return core_error_to_pyerr(n.error());
        // On failure the engine leaves zeros in out, which is never returned.
        return bytes_written_without_gil(*n, [&](std::span<std::uint8_t> out) {
            return hybrid::open_transit_package_into(package, dk, level, out);
        });
    });
}

}  // namespace

PyMethodDef kEncryptHybridDef = {
    "encrypt_hybrid", VELORA_FASTCALL(encrypt_hybrid), METH_FASTCALL | METH_KEYWORDS,
    "encrypt_hybrid(recipient_public_key, plaintext, level=...)\n--\n\n"
    "Cifrado hibrido ML-KEM + AES-256-GCM en un solo paso.\n\n"
    "Encapsula un shared secret nuevo para la clave publica del receptor y lo usa\n"
    "directamente como clave AES-256-GCM (nonce aleatorio de 12 bytes).\n\n"
    "Args:\n    recipient_public_key: clave publica ML-KEM del receptor (bytes).\n"
    "    plaintext: datos a cifrar (bytes, puede ser vacio).\n"
    "    level: SecurityLevel (por defecto ML_KEM_768).\n\n"
    "Returns:\n    Transit Package `[capsule | nonce (12) | tag (16) | ciphertext]`.\n\n"
    "Errors:\n    InvalidParameterError si la clave publica tiene tamano incorrecto\n"
    "    o el plaintext supera el limite de AES-GCM (2^36 - 32 bytes).\n"
    "    RngError si el CSPRNG no esta disponible."};

PyMethodDef kDecryptHybridDef = {
    "decrypt_hybrid", VELORA_FASTCALL(decrypt_hybrid), METH_FASTCALL | METH_KEYWORDS,
    "decrypt_hybrid(encrypted_package, secret_key, level=...)\n--\n\n"
    "Descifra un Transit Package producido por `encrypt_hybrid`.\n\n"
    "Args:\n    encrypted_package: `[capsule | nonce | tag | ciphertext]` (bytes).\n"
    "    secret_key: clave secreta ML-KEM del receptor (bytes).\n"
    "    level: SecurityLevel con el que se cifro (por defecto ML_KEM_768).\n\n"
    "Returns:\n    El plaintext (bytes).\n\n"
    "Errors:\n    InvalidParameterError si el paquete es demasiado corto o la clave secreta\n"
    "    tiene tamano incorrecto.\n"
    "    DecryptionError si la verificacion del tag AES-GCM falla (nunca se\n"
    "    devuelve plaintext parcial)."};

}  // namespace velora::bindings
