// ML-DSA (FIPS 204): key generation from a seed, the consistency check of an
// expanded private key, pure and pre-hash signing and verification, and the
// external-mu interface. Raw byte strings; velora.mldsa wraps them in key
// objects. The level follows from the key's length (keygen takes 44, 65 or
// 87). Every engine call runs with the interpreter lock released.
#include <array>
#include <string_view>

#include "bindings/native/args.hpp"
#include "bindings/native/native.hpp"
#include "core/mldsa/mldsa.hpp"
#include "platform/wipe.hpp"

namespace velora::bindings {

namespace {

using Bytes = std::span<const std::uint8_t>;

bool arg_mldsa_level(PyObject* obj, mldsa::LevelIndex* out) {
    std::uint64_t n = 0;
    if (!arg_uint(obj, "level", 87, &n)) return false;
    if (n != 44 && n != 65 && n != 87) {
        set_error(invalid_parameter_error_type(), "ML-DSA level: 44, 65 or 87");
        return false;
    }
    *out = n == 44 ? 0 : n == 65 ? 1 : 2;
    return true;
}

bool level_of_private(Bytes sk, mldsa::LevelIndex* out) {
    const auto level = mldsa::level_of_private_key_size(sk.size());
    if (!level) return core_error_to_pyerr(level.error()), false;
    *out = *level;
    return true;
}

bool level_of_public(Bytes pk, mldsa::LevelIndex* out) {
    const auto level = mldsa::level_of_public_key_size(pk.size());
    if (!level) return core_error_to_pyerr(level.error()), false;
    *out = *level;
    return true;
}

// rnd: None or omitted for hedged signing (32 fresh random bytes), or exactly
// 32 given bytes (32 zero bytes: the deterministic variant).
struct Rnd {
    SecretBytes<32> bytes;
    bool draw = true;
    bool parse(PyObject* obj) {
        if (obj == nullptr || obj == Py_None) return true;
        Bytes given;
        if (!arg_bytes(obj, "rnd", &given)) return false;
        if (given.size() != 32) {
            set_error(invalid_parameter_error_type(), "ML-DSA rnd: 32 bytes");
            return false;
        }
        std::copy(given.begin(), given.end(), bytes.bytes.begin());
        draw = false;
        return true;
    }
    // With the lock released.
    bool ready() noexcept { return !draw || mldsa::draw_rnd(bytes.span()); }
};

bool arg_prehash(PyObject* obj, mldsa::PreHash* out) {
    std::string_view name;
    PyRef storage;
    if (!arg_str(obj, "hash_algorithm", &name, storage)) return false;
    static constexpr std::pair<std::string_view, mldsa::PreHash> kNames[] = {
        {"sha224", mldsa::PreHash::Sha224},         {"sha256", mldsa::PreHash::Sha256},
        {"sha384", mldsa::PreHash::Sha384},         {"sha512", mldsa::PreHash::Sha512},
        {"sha512_224", mldsa::PreHash::Sha512_224}, {"sha512_256", mldsa::PreHash::Sha512_256},
        {"sha3_224", mldsa::PreHash::Sha3_224},     {"sha3_256", mldsa::PreHash::Sha3_256},
        {"sha3_384", mldsa::PreHash::Sha3_384},     {"sha3_512", mldsa::PreHash::Sha3_512},
        {"shake128", mldsa::PreHash::Shake128},     {"shake256", mldsa::PreHash::Shake256},
    };
    for (const auto& [n, ph] : kNames) {
        if (n == name) {
            *out = ph;
            return true;
        }
    }
    set_error(invalid_parameter_error_type(),
              "HashML-DSA hash_algorithm: one of sha224, sha256, sha384, sha512, sha512_224, sha512_256, sha3_224, "
              "sha3_256, sha3_384, sha3_512, shake128, shake256");
    return false;
}

PyObject* signature_or_raise(Result<std::vector<std::uint8_t>>&& sig, bool rng_ok) {
    if (!rng_ok) return core_error_to_pyerr(VeloraError::Rng());
    return result_or_raise(std::move(sig), [](std::vector<std::uint8_t>& s) { return to_bytes(s); });
}

PyObject* bool_or_raise(Result<bool>&& ok) {
    return result_or_raise(std::move(ok), [](bool v) { return PyBool_FromLong(v ? 1 : 0); });
}

PyObject* mldsa_keygen(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"seed", "level"};
        PyObject* a[2];
        Bytes seed;
        mldsa::LevelIndex level = 0;
        if (!parse_args({"mldsa_keygen", names, 2}, args, nargs, kwnames, a) || !arg_bytes(a[0], "seed", &seed) ||
            !arg_mldsa_level(a[1], &level)) {
            return nullptr;
        }
        if (seed.size() != mldsa::kSeedBytes) return set_error(invalid_parameter_error_type(), "ML-DSA seed: 32 bytes");
        mldsa::KeyPairBytes kp = without_gil(
            [&] { return mldsa::keygen(std::span<const std::uint8_t, 32>(seed.data(), 32), level); });
        PyObject* pair = bytes_pair(kp.pk, kp.sk);
        secure_zero(kp.sk.data(), kp.sk.size());
        return pair;
    });
}

PyObject* mldsa_public_key_of_expanded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"private_key"};
        PyObject* a[1];
        Bytes sk;
        mldsa::LevelIndex level = 0;
        if (!parse_args({"mldsa_public_key_of_expanded", names, 1}, args, nargs, kwnames, a) ||
            !arg_bytes(a[0], "private_key", &sk) || !level_of_private(sk, &level)) {
            return nullptr;
        }
        auto pk = without_gil([&] { return mldsa::public_key_of_expanded(sk, level); });
        return result_or_raise(std::move(pk), [](std::vector<std::uint8_t>& p) { return to_bytes(p); });
    });
}

PyObject* mldsa_sign(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"private_key", "message", "context", "rnd"};
        PyObject* a[4];
        Bytes sk, ctx;
        BufferArg message;
        Rnd rnd;
        mldsa::LevelIndex level = 0;
        if (!parse_args({"mldsa_sign", names, 3}, args, nargs, kwnames, a) || !arg_bytes(a[0], "private_key", &sk) ||
            !message.parse(a[1], "message") || !arg_bytes(a[2], "context", &ctx) || !rnd.parse(a[3]) ||
            !level_of_private(sk, &level)) {
            return nullptr;
        }
        bool rng_ok = true;
        auto sig = without_gil([&]() -> Result<std::vector<std::uint8_t>> {
            if (!(rng_ok = rnd.ready())) return std::vector<std::uint8_t>{};
            return mldsa::sign(sk, message.bytes(), ctx, rnd.bytes.span(), level);
        });
        return signature_or_raise(std::move(sig), rng_ok);
    });
}

PyObject* mldsa_verify(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"public_key", "message", "context", "signature"};
        PyObject* a[4];
        Bytes pk, ctx;
        BufferArg message, sig;
        mldsa::LevelIndex level = 0;
        if (!parse_args({"mldsa_verify", names, 4}, args, nargs, kwnames, a) || !arg_bytes(a[0], "public_key", &pk) ||
            !message.parse(a[1], "message") || !arg_bytes(a[2], "context", &ctx) || !sig.parse(a[3], "signature") ||
            !level_of_public(pk, &level)) {
            return nullptr;
        }
        return bool_or_raise(without_gil([&] { return mldsa::verify(pk, message.bytes(), ctx, sig.bytes(), level); }));
    });
}

PyObject* mldsa_hash_sign(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"private_key", "hash_algorithm", "message", "context", "rnd"};
        PyObject* a[5];
        Bytes sk, ctx;
        BufferArg message;
        Rnd rnd;
        mldsa::PreHash ph{};
        mldsa::LevelIndex level = 0;
        if (!parse_args({"mldsa_hash_sign", names, 4}, args, nargs, kwnames, a) ||
            !arg_bytes(a[0], "private_key", &sk) || !arg_prehash(a[1], &ph) || !message.parse(a[2], "message") ||
            !arg_bytes(a[3], "context", &ctx) || !rnd.parse(a[4]) || !level_of_private(sk, &level)) {
            return nullptr;
        }
        bool rng_ok = true;
        auto sig = without_gil([&]() -> Result<std::vector<std::uint8_t>> {
            if (!(rng_ok = rnd.ready())) return std::vector<std::uint8_t>{};
            return mldsa::hash_sign(sk, ph, message.bytes(), ctx, rnd.bytes.span(), level);
        });
        return signature_or_raise(std::move(sig), rng_ok);
    });
}

PyObject* mldsa_hash_verify(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"public_key", "hash_algorithm", "message", "context", "signature"};
        PyObject* a[5];
        Bytes pk, ctx;
        BufferArg message, sig;
        mldsa::PreHash ph{};
        mldsa::LevelIndex level = 0;
        if (!parse_args({"mldsa_hash_verify", names, 5}, args, nargs, kwnames, a) ||
            !arg_bytes(a[0], "public_key", &pk) || !arg_prehash(a[1], &ph) || !message.parse(a[2], "message") ||
            !arg_bytes(a[3], "context", &ctx) || !sig.parse(a[4], "signature") || !level_of_public(pk, &level)) {
            return nullptr;
        }
        return bool_or_raise(
            without_gil([&] { return mldsa::hash_verify(pk, ph, message.bytes(), ctx, sig.bytes(), level); }));
    });
}

PyObject* mldsa_mu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"public_key", "message", "context"};
        PyObject* a[3];
        Bytes pk, ctx;
        BufferArg message;
        mldsa::LevelIndex level = 0;
        if (!parse_args({"mldsa_mu", names, 3}, args, nargs, kwnames, a) || !arg_bytes(a[0], "public_key", &pk) ||
            !message.parse(a[1], "message") || !arg_bytes(a[2], "context", &ctx) || !level_of_public(pk, &level)) {
            return nullptr;
        }
        auto mu = without_gil([&] { return mldsa::pure_mu(mldsa::public_key_hash(pk), message.bytes(), ctx); });
        return result_or_raise(std::move(mu), [](mldsa::Mu& m) { return to_bytes(m); });
    });
}

bool arg_mu(PyObject* obj, Bytes* out) {
    if (!arg_bytes(obj, "mu", out)) return false;
    if (out->size() != mldsa::kMuBytes) {
        set_error(invalid_parameter_error_type(), "ML-DSA mu: 64 bytes");
        return false;
    }
    return true;
}

PyObject* mldsa_sign_mu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"private_key", "mu", "rnd"};
        PyObject* a[3];
        Bytes sk, mu;
        Rnd rnd;
        mldsa::LevelIndex level = 0;
        if (!parse_args({"mldsa_sign_mu", names, 2}, args, nargs, kwnames, a) || !arg_bytes(a[0], "private_key", &sk) ||
            !arg_mu(a[1], &mu) || !rnd.parse(a[2]) || !level_of_private(sk, &level)) {
            return nullptr;
        }
        bool rng_ok = true;
        auto sig = without_gil([&]() -> Result<std::vector<std::uint8_t>> {
            if (!(rng_ok = rnd.ready())) return std::vector<std::uint8_t>{};
            return mldsa::sign_mu(sk, std::span<const std::uint8_t, 64>(mu.data(), 64), rnd.bytes.span(), level);
        });
        return signature_or_raise(std::move(sig), rng_ok);
    });
}

PyObject* mldsa_verify_mu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"public_key", "mu", "signature"};
        PyObject* a[3];
        Bytes pk, mu;
        BufferArg sig;
        mldsa::LevelIndex level = 0;
        if (!parse_args({"mldsa_verify_mu", names, 3}, args, nargs, kwnames, a) || !arg_bytes(a[0], "public_key", &pk) ||
            !arg_mu(a[1], &mu) || !sig.parse(a[2], "signature") || !level_of_public(pk, &level)) {
            return nullptr;
        }
        const bool ok = without_gil(
            [&] { return mldsa::verify_mu(pk, std::span<const std::uint8_t, 64>(mu.data(), 64), sig.bytes(), level); });
        return PyBool_FromLong(ok ? 1 : 0);
    });
}

PyMethodDef kMlDsaMethods[] = {
    {"mldsa_keygen", VELORA_FASTCALL(mldsa_keygen), METH_FASTCALL | METH_KEYWORDS,
     "mldsa_keygen(seed, level)\n--\n\n(public_key, private_key) of ML-DSA-44, -65 or -87 from the 32-byte seed "
     "(the expanded private key)."},
    {"mldsa_public_key_of_expanded", VELORA_FASTCALL(mldsa_public_key_of_expanded), METH_FASTCALL | METH_KEYWORDS,
     "mldsa_public_key_of_expanded(private_key)\n--\n\nThe public key of an expanded private key, after checking "
     "that the key is consistent (KeySerializationError otherwise)."},
    {"mldsa_sign", VELORA_FASTCALL(mldsa_sign), METH_FASTCALL | METH_KEYWORDS,
     "mldsa_sign(private_key, message, context, rnd=None)\n--\n\nPure ML-DSA signature; rnd None: hedged, "
     "32 bytes: used as given (zeros: deterministic)."},
    {"mldsa_verify", VELORA_FASTCALL(mldsa_verify), METH_FASTCALL | METH_KEYWORDS,
     "mldsa_verify(public_key, message, context, signature)\n--\n\nWhether the pure ML-DSA signature is valid."},
    {"mldsa_hash_sign", VELORA_FASTCALL(mldsa_hash_sign), METH_FASTCALL | METH_KEYWORDS,
     "mldsa_hash_sign(private_key, hash_algorithm, message, context, rnd=None)\n--\n\nHashML-DSA signature."},
    {"mldsa_hash_verify", VELORA_FASTCALL(mldsa_hash_verify), METH_FASTCALL | METH_KEYWORDS,
     "mldsa_hash_verify(public_key, hash_algorithm, message, context, signature)\n--\n\nWhether the HashML-DSA "
     "signature is valid."},
    {"mldsa_mu", VELORA_FASTCALL(mldsa_mu), METH_FASTCALL | METH_KEYWORDS,
     "mldsa_mu(public_key, message, context)\n--\n\nThe 64-byte message representative mu of pure ML-DSA."},
    {"mldsa_sign_mu", VELORA_FASTCALL(mldsa_sign_mu), METH_FASTCALL | METH_KEYWORDS,
     "mldsa_sign_mu(private_key, mu, rnd=None)\n--\n\nSignature of an externally computed mu."},
    {"mldsa_verify_mu", VELORA_FASTCALL(mldsa_verify_mu), METH_FASTCALL | METH_KEYWORDS,
     "mldsa_verify_mu(public_key, mu, signature)\n--\n\nWhether the signature is valid for mu."},
};

}  // namespace

constinit const FunctionTable kMlDsaFunctions{kMlDsaMethods};

}  // namespace velora::bindings
