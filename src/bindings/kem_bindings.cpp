// generate_keypair, encapsulate, decapsulate and their deterministic variants.

#include "bindings/registry.hpp"
#include "bindings/types.hpp"
#include "core/mlkem/decaps.hpp"
#include "core/mlkem/encaps.hpp"
#include "core/mlkem/keygen.hpp"

namespace velora::bindings {

namespace {

using Bytes = std::span<const std::uint8_t>;

bool check_32(Bytes b, const char* message) {
    if (b.size() == 32) return true;
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

PyObject* generate_keypair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"level"};
        PyObject* a[1];
        std::uint8_t level = 0;
        if (!parse_args({"generate_keypair", names, 0}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_level(a[0], "level", &level)) return nullptr;
        auto keys = without_gil([&] { return mlkem::ml_kem_keygen_random(level); });
        return result_or_raise(std::move(keys), [&](mlkem::KeyPairBytes& k) {
            return keypair_new(std::move(k), level);
        });
    });
}

PyObject* generate_keypair_deterministic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"d", "z", "level"};
        PyObject* a[3];
        Bytes d, z;
        std::uint8_t level = 0;
        if (!parse_args({"generate_keypair_deterministic", names, 2}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_bytes(a[0], "d", &d) || !arg_bytes(a[1], "z", &z) || !arg_level(a[2], "level", &level)) {
            return nullptr;
        }
        if (!check_32(d, "El seed 'd' debe tener exactamente 32 bytes") ||
            !check_32(z, "El seed 'z' debe tener exactamente 32 bytes")) {
            return nullptr;
        }
        auto keys = without_gil([&] {
            return mlkem::ml_kem_keygen(d.first<32>(), z.first<32>(), level);
        });
        return keypair_new(std::move(keys), level);
    });
}

PyObject* encapsulate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"public_key", "level"};
        PyObject* a[2];
        Bytes ek;
        std::uint8_t level = 0;
        if (!parse_args({"encapsulate", names, 1}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_bytes(a[0], "public_key", &ek) || !arg_level(a[1], "level", &level)) return nullptr;
        auto r = without_gil([&] { return mlkem::ml_kem_encaps(ek, level); });
        return result_or_raise(std::move(r), [](mlkem::EncapsulationResult& e) -> PyObject* {
            PyRef c(to_bytes(e.capsule));
            PyRef k(to_bytes(e.shared_secret));
            if (!c || !k) return nullptr;
            return PyTuple_Pack(2, c.get(), k.get());
        });
    });
}

PyObject* encapsulate_deterministic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"public_key", "m", "level"};
        PyObject* a[3];
        Bytes ek, m;
        std::uint8_t level = 0;
        if (!parse_args({"encapsulate_deterministic", names, 2}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_bytes(a[0], "public_key", &ek) || !arg_bytes(a[1], "m", &m) || !arg_level(a[2], "level", &level)) {
            return nullptr;
        }
        if (!check_32(m, "El mensaje 'm' debe tener exactamente 32 bytes")) return nullptr;
        auto r = without_gil([&] { return mlkem::ml_kem_encaps_deterministic(ek, m.first<32>(), level); });
        return result_or_raise(std::move(r), [](mlkem::DeterministicEncapsulationResult& e) -> PyObject* {
            PyRef c(to_bytes(e.capsule));
            PyRef k(to_bytes(e.shared_secret));
            PyRef mm(to_bytes(e.m));
            if (!c || !k || !mm) return nullptr;
            return PyTuple_Pack(3, c.get(), k.get(), mm.get());
        });
    });
}

PyObject* decapsulate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"capsule", "secret_key", "level"};
        PyObject* a[3];
        Bytes c, dk;
        std::uint8_t level = 0;
        if (!parse_args({"decapsulate", names, 2}, args, nargs, kwnames, a)) return nullptr;
        if (!arg_bytes(a[0], "capsule", &c) || !arg_bytes(a[1], "secret_key", &dk) ||
            !arg_level(a[2], "level", &level)) {
            return nullptr;
        }
        auto r = without_gil([&] { return mlkem::ml_kem_decaps(c, dk, level); });
        return result_or_raise(std::move(r), to_bytes);
    });
}

}  // namespace


PyMethodDef kGenerateKeypairDef = {
    "generate_keypair", VELORA_FASTCALL(generate_keypair), METH_FASTCALL | METH_KEYWORDS,
    "generate_keypair(level=...)\n--\n\n"
    "Genera un par de claves ML-KEM para el nivel de seguridad dado.\n\n"
    "Args:\n    level: SecurityLevel (por defecto ML_KEM_768).\n\n"
    "Returns:\n    KeyPair con la clave publica y la clave secreta.\n\n"
    "Errors:\n    RngError si el CSPRNG del sistema operativo no esta disponible."};

PyMethodDef kEncapsulateDef = {
    "encapsulate", VELORA_FASTCALL(encapsulate), METH_FASTCALL | METH_KEYWORDS,
    "encapsulate(public_key, level=...)\n--\n\n"
    "Encapsula un shared secret usando la clave publica del receptor.\n\n"
    "Args:\n    public_key: clave publica ML-KEM (bytes).\n    level: SecurityLevel (por defecto ML_KEM_768).\n\n"
    "Returns:\n    (capsule, shared_secret): el ciphertext ML-KEM y el secreto de 32 bytes.\n\n"
    "Errors:\n    InvalidParameterError si la clave publica tiene tamano incorrecto.\n"
    "    RngError si el CSPRNG no esta disponible."};

PyMethodDef kDecapsulateDef = {
    "decapsulate", VELORA_FASTCALL(decapsulate), METH_FASTCALL | METH_KEYWORDS,
    "decapsulate(capsule, secret_key, level=...)\n--\n\n"
    "Desencapsula el shared secret usando la clave secreta.\n\n"
    "Args:\n    capsule: ciphertext ML-KEM (bytes).\n    secret_key: clave secreta ML-KEM (bytes).\n"
    "    level: SecurityLevel (por defecto ML_KEM_768).\n\n"
    "Returns:\n    El shared secret de 32 bytes.\n\n"
    "Errors:\n    InvalidParameterError si la clave secreta o la capsula tienen tamano incorrecto.\n\n"
    "NOTA: Esta funcion NUNCA lanza error para ciphertext invalido\n(implicit rejection, FIPS 203 §7.3)."};

PyMethodDef kGenerateKeypairDeterministicDef = {
    "generate_keypair_deterministic", VELORA_FASTCALL(generate_keypair_deterministic), METH_FASTCALL | METH_KEYWORDS,
    "generate_keypair_deterministic(d, z, level=...)\n--\n\n"
    "Genera un par de claves ML-KEM usando seeds especificos.\n\n"
    "Esta version es DETERMINISTA y debe usarse SOLO para validacion\ncon vectores KAT conocidos. NO usar en "
    "produccion.\n\n"
    "Args:\n    d: seed de 32 bytes.\n    z: seed de 32 bytes (implicit rejection).\n"
    "    level: SecurityLevel (por defecto ML_KEM_768).\n\n"
    "Returns:\n    KeyPair.\n\n"
    "Errors:\n    ValueError si d o z no tienen exactamente 32 bytes."};

PyMethodDef kEncapsulateDeterministicDef = {
    "encapsulate_deterministic", VELORA_FASTCALL(encapsulate_deterministic), METH_FASTCALL | METH_KEYWORDS,
    "encapsulate_deterministic(public_key, m, level=...)\n--\n\n"
    "Encapsula un shared secret usando un mensaje especifico.\n\n"
    "Esta version es DETERMINISTA y debe usarse SOLO para validacion\ncon vectores KAT conocidos. NO usar en "
    "produccion.\n\n"
    "Args:\n    public_key: clave publica ML-KEM (bytes).\n    m: mensaje de 32 bytes.\n"
    "    level: SecurityLevel (por defecto ML_KEM_768).\n\n"
    "Returns:\n    (capsule, shared_secret, m).\n\n"
    "Errors:\n    ValueError si m no tiene exactamente 32 bytes.\n"
    "    InvalidParameterError si la clave publica tiene tamano incorrecto."};

}  // namespace velora::bindings
