// HPKE base mode single-shot: key pairs, seal / open, secret export.
#include "bindings/native/args.hpp"
#include "bindings/native/native.hpp"
#include "core/hpke/hpke.hpp"

namespace velora::bindings {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr const char* kOpenFailed = "HPKE: the ciphertext does not authenticate";

bool arg_kem(PyObject* obj, hpke::Kem* out) {
    std::uint64_t id = 0;
    if (!arg_uint(obj, "kem_id", 0xFFFF, &id)) return false;
    auto sizes = hpke::kem_sizes(static_cast<std::uint16_t>(id));
    if (!sizes) {
        core_error_to_pyerr(sizes.error());
        return false;
    }
    *out = static_cast<hpke::Kem>(id);
    return true;
}

bool arg_suite(PyObject* const* a, hpke::Suite* out) {
    std::uint64_t kem = 0, kdf = 0, aead = 0;
    if (!arg_uint(a[0], "kem_id", 0xFFFF, &kem) || !arg_uint(a[1], "kdf_id", 0xFFFF, &kdf) ||
        !arg_uint(a[2], "aead_id", 0xFFFF, &aead)) {
        return false;
    }
    auto suite = hpke::make_suite(static_cast<std::uint16_t>(kem), static_cast<std::uint16_t>(kdf),
                                  static_cast<std::uint16_t>(aead));
    if (!suite) {
        core_error_to_pyerr(suite.error());
        return false;
    }
    *out = *suite;
    return true;
}

bool arg_length(PyObject* obj, std::size_t* out) {
    std::uint64_t v = 0;
    if (!arg_uint(obj, "length", 0xFFFFFFFF, &v)) return false;
    *out = static_cast<std::size_t>(v);
    return true;
}

PyObject* key_pair(hpke::KeyPair& k) { return bytes_pair(k.private_key, k.public_key); }

PyObject* hpke_derive_key_pair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"kem_id", "ikm"};
        PyObject* a[2];
        hpke::Kem kem{};
        Bytes ikm;
        if (!parse_args({"hpke_derive_key_pair", names, 2}, args, nargs, kwnames, a) || !arg_kem(a[0], &kem) ||
            !arg_bytes(a[1], "ikm", &ikm)) {
            return nullptr;
        }
        auto r = without_gil([&] { return hpke::derive_key_pair(kem, ikm); });
        return result_or_raise(std::move(r), key_pair);
    });
}

PyObject* hpke_generate_key_pair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"kem_id"};
        PyObject* a[1];
        hpke::Kem kem{};
        if (!parse_args({"hpke_generate_key_pair", names, 1}, args, nargs, kwnames, a) || !arg_kem(a[0], &kem)) {
            return nullptr;
        }
        auto r = without_gil([&] { return hpke::generate_key_pair(kem); });
        return result_or_raise(std::move(r), key_pair);
    });
}

PyObject* hpke_public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"kem_id", "private_key"};
        PyObject* a[2];
        hpke::Kem kem{};
        Bytes sk;
        if (!parse_args({"hpke_public_key", names, 2}, args, nargs, kwnames, a) || !arg_kem(a[0], &kem) ||
            !arg_bytes(a[1], "private_key", &sk)) {
            return nullptr;
        }
        auto r = without_gil([&] { return hpke::public_key_of(kem, sk); });
        return result_or_raise(std::move(r), to_bytes);
    });
}

PyObject* hpke_seal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"kem_id", "kdf_id", "aead_id", "public_key", "info", "aad", "plaintext",
                                            "ikm_e"};
        PyObject* a[8];
        hpke::Suite suite{};
        Bytes pk, info, aad, pt, ikm_e;
        if (!parse_args({"hpke_seal", names, 7}, args, nargs, kwnames, a) || !arg_suite(a, &suite) ||
            !arg_bytes(a[3], "public_key", &pk) || !arg_bytes(a[4], "info", &info) || !arg_bytes(a[5], "aad", &aad) ||
            !arg_bytes(a[6], "plaintext", &pt) || !arg_optional_bytes(a[7], "ikm_e", &ikm_e)) {
            return nullptr;
        }
        auto r = without_gil([&] { return hpke::seal(suite, pk, info, aad, pt, ikm_e); });
        return result_or_raise(std::move(r), [](hpke::Sealed& s) { return bytes_pair(s.enc, s.ciphertext); });
    });
}

PyObject* hpke_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"kem_id", "kdf_id", "aead_id", "private_key", "enc", "info", "aad",
                                            "ciphertext"};
        PyObject* a[8];
        hpke::Suite suite{};
        Bytes sk, enc, info, aad, ct;
        if (!parse_args({"hpke_open", names, 8}, args, nargs, kwnames, a) || !arg_suite(a, &suite) ||
            !arg_bytes(a[3], "private_key", &sk) || !arg_bytes(a[4], "enc", &enc) || !arg_bytes(a[5], "info", &info) ||
            !arg_bytes(a[6], "aad", &aad) || !arg_bytes(a[7], "ciphertext", &ct)) {
            return nullptr;
        }
        auto r = without_gil([&] { return hpke::open(suite, sk, enc, info, aad, ct); });
        if (!r) return raise_core_error(r.error(), kOpenFailed);
        return to_bytes(*r);
    });
}

PyObject* hpke_send_export(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"kem_id", "kdf_id", "aead_id", "public_key", "info", "exporter_context",
                                            "length", "ikm_e"};
        PyObject* a[8];
        hpke::Suite suite{};
        Bytes pk, info, context, ikm_e;
        std::size_t length = 0;
        if (!parse_args({"hpke_send_export", names, 7}, args, nargs, kwnames, a) || !arg_suite(a, &suite) ||
            !arg_bytes(a[3], "public_key", &pk) || !arg_bytes(a[4], "info", &info) ||
            !arg_bytes(a[5], "exporter_context", &context) || !arg_length(a[6], &length) ||
            !arg_optional_bytes(a[7], "ikm_e", &ikm_e)) {
            return nullptr;
        }
        auto r = without_gil([&] { return hpke::send_export(suite, pk, info, context, length, ikm_e); });
        return result_or_raise(std::move(r), [](hpke::Exported& e) { return bytes_pair(e.enc, e.secret); });
    });
}

PyObject* hpke_receive_export(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"kem_id", "kdf_id", "aead_id", "private_key", "enc", "info",
                                            "exporter_context", "length"};
        PyObject* a[8];
        hpke::Suite suite{};
        Bytes sk, enc, info, context;
        std::size_t length = 0;
        if (!parse_args({"hpke_receive_export", names, 8}, args, nargs, kwnames, a) || !arg_suite(a, &suite) ||
            !arg_bytes(a[3], "private_key", &sk) || !arg_bytes(a[4], "enc", &enc) || !arg_bytes(a[5], "info", &info) ||
            !arg_bytes(a[6], "exporter_context", &context) || !arg_length(a[7], &length)) {
            return nullptr;
        }
        auto r = without_gil([&] { return hpke::receive_export(suite, sk, enc, info, context, length); });
        return result_or_raise(std::move(r), to_bytes);
    });
}

PyMethodDef kHpkeMethods[] = {
    {"hpke_derive_key_pair", VELORA_FASTCALL(hpke_derive_key_pair), METH_FASTCALL | METH_KEYWORDS,
     "hpke_derive_key_pair(kem_id, ikm)\n--\n\nDeriveKeyPair(ikm): (private_key, public_key)."},
    {"hpke_generate_key_pair", VELORA_FASTCALL(hpke_generate_key_pair), METH_FASTCALL | METH_KEYWORDS,
     "hpke_generate_key_pair(kem_id)\n--\n\nGenerateKeyPair(): (private_key, public_key)."},
    {"hpke_public_key", VELORA_FASTCALL(hpke_public_key), METH_FASTCALL | METH_KEYWORDS,
     "hpke_public_key(kem_id, private_key)\n--\n\nThe serialized public key of a serialized private key."},
    {"hpke_seal", VELORA_FASTCALL(hpke_seal), METH_FASTCALL | METH_KEYWORDS,
     "hpke_seal(kem_id, kdf_id, aead_id, public_key, info, aad, plaintext, ikm_e=None)\n--\n\n"
     "Single-shot SealBase: (enc, ciphertext)."},
    {"hpke_open", VELORA_FASTCALL(hpke_open), METH_FASTCALL | METH_KEYWORDS,
     "hpke_open(kem_id, kdf_id, aead_id, private_key, enc, info, aad, ciphertext)\n--\n\n"
     "Single-shot OpenBase: the plaintext."},
    {"hpke_send_export", VELORA_FASTCALL(hpke_send_export), METH_FASTCALL | METH_KEYWORDS,
     "hpke_send_export(kem_id, kdf_id, aead_id, public_key, info, exporter_context, length, ikm_e=None)\n--\n\n"
     "SendExportBase: (enc, exported secret)."},
    {"hpke_receive_export", VELORA_FASTCALL(hpke_receive_export), METH_FASTCALL | METH_KEYWORDS,
     "hpke_receive_export(kem_id, kdf_id, aead_id, private_key, enc, info, exporter_context, length)\n--\n\n"
     "ReceiveExportBase: the exported secret."},
};

}  // namespace

constinit const FunctionTable kHpkeFunctions{kHpkeMethods};

}  // namespace velora::bindings
