// Key objects and key formats of `velora._velora_native`.
//
// SecretKey holds a private key's secrets (the decapsulation key and, where
// known, the seed) in native memory that is overwritten when the object is
// released; Python code sees them only when it asks for a copy. The
// functions here read and write the IETF formats (SPKI, PKCS#8, encrypted
// PKCS#8, PEM), the legacy wrapped blob, and run the FIPS 203 input checks.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "bindings/native/args.hpp"
#include "bindings/native/native.hpp"
#include "core/hybrid/hybrid.hpp"
#include "core/key_wrap/key_wrap.hpp"
#include "core/keys/fips203_checks.hpp"
#include "core/keys/key_formats.hpp"
#include "core/keys/key_material.hpp"
#include "core/keys/key_text.hpp"
#include "core/mlkem/decaps.hpp"
#include "platform/ct.hpp"
#include "platform/wipe.hpp"

namespace velora::bindings {

namespace {

using keys::PrivateKeyMaterial;
namespace kf = key_formats;

constexpr std::string_view kWrongPassword = "wrong password or corrupted key";
constexpr std::string_view kPasswordNeeded = "this private key is encrypted: a password is needed to load it";

// ---- arguments: any bytes-like object (BufferArg, native/args.hpp) ---------------

// Text (str) or bytes-like data, viewed as bytes; `is_text` tells which.
struct DataArg {
    BufferArg buffer;
    PyRef storage;
    std::string_view text;
    bool is_text = false;

    bool parse(PyObject* obj, const char* name) {
        if (PyUnicode_Check(obj)) {
            is_text = true;
            return arg_str(obj, name, &text, storage);
        }
        if (!buffer.parse(obj, name)) return false;
        const auto s = buffer.span();
        text = {reinterpret_cast<const char*>(s.data()), s.size()};
        return true;
    }
    std::span<const std::uint8_t> bytes() const noexcept {
        return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
    }
    // PEM text: a str, or bytes that hold a BEGIN line.
    bool looks_like_pem() const noexcept { return is_text || text.find("-----BEGIN ") != std::string_view::npos; }
};

// Optional password: None (omitted) or bytes-like.
struct PasswordArg {
    BufferArg buffer;
    bool given = false;

    bool parse(PyObject* obj) {
        if (obj == nullptr || obj == Py_None) return true;
        given = true;
        return buffer.parse(obj, "password");
    }
    std::span<const std::uint8_t> span() const noexcept {
        return given ? buffer.span() : std::span<const std::uint8_t>{};
    }
};

bool arg_flag(PyObject* obj, bool fallback, bool* out) {
    if (obj == nullptr) {
        *out = fallback;
        return true;
    }
    const int v = PyObject_IsTrue(obj);
    if (v < 0) return false;
    *out = v == 1;
    return true;
}

// A cost setting: `fallback` when omitted, else an int from 0 to `max`
// (InvalidParameterError when out of range).
bool arg_cost(PyObject* obj, const char* name, std::uint64_t fallback, std::uint64_t max, std::uint64_t* out) {
    if (obj == nullptr) {
        *out = fallback;
        return true;
    }
    return arg_uint(obj, name, max, out, invalid_parameter_error_type);
}

// ---- the SecretKey type ---------------------------------------------------------

struct SecretKeyObject {
    PyObject_HEAD
    PrivateKeyMaterial* key;
};

PyObject* g_secret_key_type = nullptr;
PyObject* secret_key_type();

PyObject* secret_key_new(PrivateKeyMaterial&& material) {
    PyObject* type = secret_key_type();
    if (type == nullptr) return nullptr;
    auto holder = std::make_unique<PrivateKeyMaterial>(std::move(material));
    auto* obj = PyObject_New(SecretKeyObject, reinterpret_cast<PyTypeObject*>(type));
    if (obj == nullptr) return nullptr;
    obj->key = holder.release();
    return reinterpret_cast<PyObject*>(obj);
}

PyObject* secret_key_or_raise(Result<PrivateKeyMaterial>&& r) {
    if (!r) return raise_core_error(r.error(), kWrongPassword);
    return secret_key_new(std::move(*r));
}

void secret_key_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<SecretKeyObject*>(self)->key;  // SecretBuffer wipes on release
    PyObject_Free(self);
    Py_DECREF(type);
}

const PrivateKeyMaterial& material(PyObject* self) { return *reinterpret_cast<SecretKeyObject*>(self)->key; }

bool arg_secret_key(PyObject* obj, const char* name, const PrivateKeyMaterial** out) {
    PyObject* type = secret_key_type();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) return raise_type_error(obj, "SecretKey", name);
    *out = &material(obj);
    return true;
}

PyObject* sk_level(PyObject* self, void*) { return security_level_for_index(material(self).level); }
PyObject* sk_has_seed(PyObject* self, void*) { return PyBool_FromLong(material(self).has_seed() ? 1 : 0); }

PyObject* sk_public_key(PyObject* self, PyObject*) { return to_bytes(material(self).ek()); }

PyObject* sk_seed(PyObject* self, PyObject*) {
    if (!material(self).has_seed()) Py_RETURN_NONE;
    return to_bytes(material(self).seed.span());
}

PyObject* sk_expanded(PyObject* self, PyObject*) { return to_bytes(material(self).dk.span()); }

PyObject* sk_decapsulate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"capsule"};
        PyObject* a[1];
        BufferArg capsule;
        if (!parse_args({"decapsulate", names, 1}, args, nargs, kwnames, a) || !capsule.parse(a[0], "capsule")) {
            return nullptr;
        }
        const PrivateKeyMaterial& key = material(self);
        std::span<std::uint8_t> out;
        PyRef result(new_bytes(mlkem::kSharedSecretBytes, &out));
        if (!result) return nullptr;
        auto k = without_gil([&] { return mlkem::ml_kem_decaps(capsule.span(), key.dk.span(), key.level); });
        if (!k) return core_error_to_pyerr(k.error());
        std::copy(k->begin(), k->end(), out.begin());
        secure_wipe(k->data(), k->size());
        return result.release();
    });
}

PyObject* sk_decrypt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"package"};
        PyObject* a[1];
        BufferArg package;
        if (!parse_args({"decrypt", names, 1}, args, nargs, kwnames, a) || !package.parse(a[0], "package")) {
            return nullptr;
        }
        const PrivateKeyMaterial& key = material(self);
        auto n = hybrid::plaintext_size(package.span().size(), key.level);
        if (!n) return core_error_to_pyerr(n.error());
        return bytes_written_without_gil(*n, [&](std::span<std::uint8_t> out) {
            return hybrid::open_transit_package_into(package.span(), key.dk.span(), key.level, out);
        });
    });
}

PyObject* sk_equals(PyObject* self, PyObject* other) {
    return guarded([&]() -> PyObject* {
        const PrivateKeyMaterial* b = nullptr;
        if (!arg_secret_key(other, "other", &b)) return nullptr;
        const PrivateKeyMaterial& a = material(self);
        if (a.level != b->level) Py_RETURN_FALSE;  // the level is public
        std::uint8_t same = ct::equal(a.dk.span(), b->dk.span());
        ct::declassify(&same, 1);
        return PyBool_FromLong(same);
    });
}

// to_pkcs8(form, password=None, pem=False, kdf="scrypt", scrypt_n=2**17,
//          scrypt_r=8, scrypt_p=1, pbkdf2_iterations=600000)
PyObject* sk_to_pkcs8(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"form",     "password", "pem",      "kdf",
                                            "scrypt_n", "scrypt_r", "scrypt_p", "pbkdf2_iterations"};
        PyObject* a[8];
        if (!parse_args({"to_pkcs8", names, 1}, args, nargs, kwnames, a)) return nullptr;
        std::string_view form_name, kdf_name = "scrypt";
        PyRef form_storage, kdf_storage;
        PasswordArg password;
        bool pem = false;
        const kf::EncryptionSettings defaults;
        std::uint64_t n = 0, r = 0, p = 0, iterations = 0;
        if (!arg_str(a[0], "form", &form_name, form_storage) || !password.parse(a[1]) || !arg_flag(a[2], false, &pem) ||
            (a[3] != nullptr && !arg_str(a[3], "kdf", &kdf_name, kdf_storage)) ||
            !arg_cost(a[4], "scrypt_n", defaults.scrypt_n, UINT64_MAX, &n) ||
            !arg_cost(a[5], "scrypt_r", defaults.scrypt_r, UINT32_MAX, &r) ||
            !arg_cost(a[6], "scrypt_p", defaults.scrypt_p, UINT32_MAX, &p) ||
            !arg_cost(a[7], "pbkdf2_iterations", defaults.pbkdf2_iterations, UINT32_MAX, &iterations)) {
            return nullptr;
        }
        mlkem_key::Form form;
        if (form_name == "seed") {
            form = mlkem_key::Form::Seed;
        } else if (form_name == "expanded") {
            form = mlkem_key::Form::Expanded;
        } else if (form_name == "both") {
            form = mlkem_key::Form::Both;
        } else {
            return set_error(invalid_parameter_error_type(),
                             "unknown private key form: expected 'seed', 'expanded' or 'both'");
        }
        kf::EncryptionSettings settings;
        if (kdf_name == "scrypt") {
            settings.kdf = kf::Kdf::Scrypt;
        } else if (kdf_name == "pbkdf2") {
            settings.kdf = kf::Kdf::Pbkdf2HmacSha256;
        } else {
            return set_error(invalid_parameter_error_type(), "unknown key derivation: expected 'scrypt' or 'pbkdf2'");
        }
        settings.scrypt_n = n;
        settings.scrypt_r = static_cast<std::uint32_t>(r);
        settings.scrypt_p = static_cast<std::uint32_t>(p);
        settings.pbkdf2_iterations = static_cast<std::uint32_t>(iterations);

        const PrivateKeyMaterial& key = material(self);
        auto plain = kf::pkcs8_encode(key, form);
        if (!plain) return raise_core_error(plain.error(), kWrongPassword);
        if (!password.given) {
            if (!pem) return to_bytes(plain->span());
            std::string text = kf::pem_encode(kf::PemLabel::PrivateKey, plain->span());
            PyObject* out = to_str(text);
            secure_wipe(text.data(), text.size());
            return out;
        }
        auto encrypted = without_gil([&] { return kf::pkcs8_encrypt(plain->span(), password.span(), settings); });
        if (!encrypted) return raise_core_error(encrypted.error(), kWrongPassword);
        if (!pem) return to_bytes(*encrypted);
        return to_str(kf::pem_encode(kf::PemLabel::EncryptedPrivateKey, *encrypted));
    });
}

// to_vlpk(password, pem=False): the legacy wrapped blob or its armour.
PyObject* sk_to_vlpk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"password", "pem"};
        PyObject* a[2];
        BufferArg password;
        bool pem = false;
        if (!parse_args({"to_vlpk", names, 1}, args, nargs, kwnames, a) || !password.parse(a[0], "password") ||
            !arg_flag(a[1], false, &pem)) {
            return nullptr;
        }
        const PrivateKeyMaterial& key = material(self);
        auto blob = without_gil(
            [&] { return key_wrap::wrap_secret_key_blob(key.dk.span(), key.level, password.span()); });
        if (!blob) return raise_core_error(blob.error(), kWrongPassword);
        if (!pem) return to_bytes(*blob);
        return to_str(key_text::secret_key_blob_to_pem(*blob));
    });
}

// ---- the lease: a short-lived bytes copy of dk, wiped on exit -------------------

// A context manager around one bytes object this module created. At
// __exit__ (or when the lease is released), the copy is overwritten with
// zeros if nothing but the lease and the `with` target refer to it; if other
// references remain, the object is left as it is (overwriting a value
// someone still uses would change it under them) and only dropped.
struct LeaseObject {
    PyObject_HEAD
    PyObject* bytes;  // owned; nullptr once released
};

PyObject* g_lease_type = nullptr;

void lease_release(LeaseObject* lease) {
    PyObject* b = lease->bytes;
    if (b == nullptr) return;
    lease->bytes = nullptr;
    if (Py_REFCNT(b) <= 2) {
        // The object was created here and nothing else holds it, so its
        // buffer is ours to overwrite. (A hash cached by a caller that hashed
        // the key would stay: the stable ABI does not reach that field, and
        // the documented use never hashes it.)
        char* data = PyBytes_AsString(b);
        if (data != nullptr) secure_wipe(data, static_cast<std::size_t>(PyBytes_Size(b)));
    }
    Py_DECREF(b);
}

void lease_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    lease_release(reinterpret_cast<LeaseObject*>(self));
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject* lease_enter(PyObject* self, PyObject*) {
    auto* lease = reinterpret_cast<LeaseObject*>(self);
    if (lease->bytes == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the secret key lease has already ended");
        return nullptr;
    }
    Py_INCREF(lease->bytes);
    return lease->bytes;
}

PyObject* lease_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
    lease_release(reinterpret_cast<LeaseObject*>(self));
    Py_RETURN_FALSE;
}

PyMethodDef kLeaseMethods[] = {
    {"__enter__", lease_enter, METH_NOARGS, "The decapsulation key as bytes, valid until the block ends."},
    {"__exit__", VELORA_FASTCALL(lease_exit), METH_FASTCALL, "Overwrites the copy with zeros (see the class)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLeaseSlots[] = {
    {Py_tp_doc, const_cast<char*>("A short-lived bytes copy of a decapsulation key, wiped when the with block ends.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(lease_dealloc)},
    {Py_tp_methods, kLeaseMethods},
    {0, nullptr},
};

PyType_Spec kLeaseSpec = {
    "velora._velora_native.SecretKeyLease",
    sizeof(LeaseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kLeaseSlots,
};

PyObject* sk_lease(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyObject* type = cached_type(g_lease_type, &kLeaseSpec, "SecretKeyLease");
        if (type == nullptr) return nullptr;
        PyRef bytes(to_bytes(material(self).dk.span()));
        if (!bytes) return nullptr;
        auto* lease = PyObject_New(LeaseObject, reinterpret_cast<PyTypeObject*>(type));
        if (lease == nullptr) return nullptr;
        lease->bytes = bytes.release();
        return reinterpret_cast<PyObject*>(lease);
    });
}

PyGetSetDef kSecretKeyGetSet[] = {
    {"level", sk_level, nullptr, "The ML-KEM level (a SecurityLevel member).", nullptr},
    {"has_seed", sk_has_seed, nullptr, "Whether the 64-byte seed d || z is known.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kSecretKeyMethods[] = {
    {"public_key", sk_public_key, METH_NOARGS, "The encapsulation key inside the decapsulation key."},
    {"seed", sk_seed, METH_NOARGS, "A bytes copy of the seed d || z, or None."},
    {"expanded", sk_expanded, METH_NOARGS, "A bytes copy of the decapsulation key (FIPS 203 dk)."},
    {"decapsulate", VELORA_FASTCALL(sk_decapsulate), METH_FASTCALL | METH_KEYWORDS,
     "The shared secret of a capsule (implicit rejection)."},
    {"decrypt", VELORA_FASTCALL(sk_decrypt), METH_FASTCALL | METH_KEYWORDS, "Opens a Transit Package."},
    {"equals", sk_equals, METH_O, "Constant-time equality of the decapsulation keys (and the levels)."},
    {"lease", sk_lease, METH_NOARGS, "A SecretKeyLease: the decapsulation key as bytes for one with block."},
    {"to_pkcs8", VELORA_FASTCALL(sk_to_pkcs8), METH_FASTCALL | METH_KEYWORDS,
     "PKCS#8 (DER bytes or PEM str), encrypted with PBES2 when a password is given."},
    {"to_vlpk", VELORA_FASTCALL(sk_to_vlpk), METH_FASTCALL | METH_KEYWORDS,
     "The legacy password-wrapped blob (bytes) or its armour (str)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSecretKeySlots[] = {
    {Py_tp_doc, const_cast<char*>("The secrets of an ML-KEM private key in native memory, wiped when released.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(secret_key_dealloc)},
    {Py_tp_getset, kSecretKeyGetSet},
    {Py_tp_methods, kSecretKeyMethods},
    {0, nullptr},
};

PyType_Spec kSecretKeySpec = {
    "velora._velora_native.SecretKey",
    sizeof(SecretKeyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kSecretKeySlots,
};

PyObject* secret_key_type() { return cached_type(g_secret_key_type, &kSecretKeySpec, "SecretKey"); }

// ---- module functions -------------------------------------------------------------

PyObject* secret_key_generate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"level"};
        PyObject* a[1];
        std::uint8_t level = 1;
        if (!parse_args({"secret_key_generate", names, 1}, args, nargs, kwnames, a) || !arg_level(a[0], "level", &level)) {
            return nullptr;
        }
        return secret_key_or_raise(without_gil([&] { return keys::generate(level); }));
    });
}

PyObject* secret_key_from_seed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"seed", "level"};
        PyObject* a[2];
        BufferArg seed;
        std::uint8_t level = 1;
        if (!parse_args({"secret_key_from_seed", names, 2}, args, nargs, kwnames, a) || !seed.parse(a[0], "seed") ||
            !arg_level(a[1], "level", &level)) {
            return nullptr;
        }
        return secret_key_or_raise(without_gil([&] { return keys::from_seed(seed.span(), level); }));
    });
}

PyObject* secret_key_from_expanded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"dk", "level", "check"};
        PyObject* a[3];
        BufferArg dk;
        std::uint8_t level = 1;
        bool check = true;
        if (!parse_args({"secret_key_from_expanded", names, 2}, args, nargs, kwnames, a) || !dk.parse(a[0], "dk") ||
            !arg_level(a[1], "level", &level) || !arg_flag(a[2], true, &check)) {
            return nullptr;
        }
        return secret_key_or_raise(without_gil([&] { return keys::from_expanded(dk.span(), level, check); }));
    });
}

// What a loader accepts.
enum class Accept : std::uint8_t { Der, Pem, Any };

bool arg_accept(PyObject* obj, Accept* out) {
    if (obj == nullptr) {
        *out = Accept::Any;
        return true;
    }
    std::string_view name;
    PyRef storage;
    if (!arg_str(obj, "accept", &name, storage)) return false;
    if (name == "der") {
        *out = Accept::Der;
    } else if (name == "pem") {
        *out = Accept::Pem;
    } else if (name == "any") {
        *out = Accept::Any;
    } else {
        set_error(invalid_parameter_error_type(), "accept must be 'der', 'pem' or 'any'");
        return false;
    }
    return true;
}

// The legacy wrapped blob opens with its magic "VLPK".
bool is_vlpk_blob(std::span<const std::uint8_t> bytes) noexcept {
    constexpr std::size_t n = key_wrap::kMagic.size();
    return bytes.size() >= n && std::ranges::equal(bytes.first(n), key_wrap::kMagic);
}

bool wrong_kind(Accept accept, bool pem) {
    if (accept == Accept::Der && pem) {
        set_error(key_serialization_error_type(), "expected DER bytes, got PEM text (use the PEM loader)");
        return true;
    }
    if (accept == Accept::Pem && !pem) {
        set_error(key_serialization_error_type(), "expected PEM text with a -----BEGIN line");
        return true;
    }
    return false;
}

Result<PrivateKeyMaterial> load_private_der(std::span<const std::uint8_t> der, const PasswordArg& password, bool check,
                                            bool encrypted) {
    if (encrypted) {
        if (!password.given) return fail(VeloraError::KeySerialization(kPasswordNeeded));
        return kf::pkcs8_decrypt_and_decode(der, password.span(), kf::ReadLimits{}, check);
    }
    return kf::pkcs8_decode(der, check);
}

Result<PrivateKeyMaterial> load_vlpk(std::span<const std::uint8_t> blob, const PasswordArg& password, bool check) {
    if (!password.given) return fail(VeloraError::KeySerialization(kPasswordNeeded));
    auto opened = key_wrap::unwrap_secret_key(blob, password.span());
    if (!opened) return fail(opened.error());
    return keys::from_expanded(opened->secret_key.span(), opened->level_id, check);
}

// secret_key_load(data, password=None, check=True, accept="any")
PyObject* secret_key_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"data", "password", "check", "accept"};
        PyObject* a[4];
        DataArg data;
        PasswordArg password;
        bool check = true;
        Accept accept = Accept::Any;
        if (!parse_args({"secret_key_load", names, 1}, args, nargs, kwnames, a) || !data.parse(a[0], "data") ||
            !password.parse(a[1]) || !arg_flag(a[2], true, &check) || !arg_accept(a[3], &accept)) {
            return nullptr;
        }
        const bool pem = data.looks_like_pem();
        if (wrong_kind(accept, pem)) return nullptr;
        if (pem) {
            if (data.text.find(key_text::kEncryptedKeyHeader) != std::string_view::npos && accept == Accept::Any) {
                auto blob = key_text::secret_key_blob_from_pem(data.text);
                if (!blob) return raise_core_error(blob.error(), kWrongPassword);
                return secret_key_or_raise(without_gil([&] { return load_vlpk(*blob, password, check); }));
            }
            const auto label = kf::pem_first_label(data.text);
            if (label != kf::PemLabel::PrivateKey && label != kf::PemLabel::EncryptedPrivateKey) {
                return set_error(key_serialization_error_type(),
                                 label == kf::PemLabel::PublicKey
                                     ? "PEM: this is a PUBLIC KEY, not a private key"
                                     : "PEM: no PRIVATE KEY or ENCRYPTED PRIVATE KEY block found");
            }
            auto der = kf::pem_decode(data.text, *label);
            if (!der) return raise_core_error(der.error(), kWrongPassword);
            const bool encrypted = *label == kf::PemLabel::EncryptedPrivateKey;
            return secret_key_or_raise(
                without_gil([&] { return load_private_der(der->span(), password, check, encrypted); }));
        }
        const auto bytes = data.bytes();
        if (accept == Accept::Any && is_vlpk_blob(bytes)) {
            return secret_key_or_raise(without_gil([&] { return load_vlpk(bytes, password, check); }));
        }
        const bool encrypted = kf::is_encrypted_private_key_info(bytes);
        return secret_key_or_raise(without_gil([&] { return load_private_der(bytes, password, check, encrypted); }));
    });
}

// public_key_load(data, check=True, accept="any") -> (ek, level): SPKI DER or PEM.
PyObject* public_key_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"data", "check", "accept"};
        PyObject* a[3];
        DataArg data;
        bool check = true;
        Accept accept = Accept::Any;
        if (!parse_args({"public_key_load", names, 1}, args, nargs, kwnames, a) || !data.parse(a[0], "data") ||
            !arg_flag(a[1], true, &check) || !arg_accept(a[2], &accept)) {
            return nullptr;
        }
        const bool pem = data.looks_like_pem();
        if (wrong_kind(accept, pem)) return nullptr;
        std::span<const std::uint8_t> der = data.bytes();
        SecretBuffer decoded;
        if (pem) {
            auto body = kf::pem_decode(data.text, kf::PemLabel::PublicKey);
            if (!body) {
                const auto label = kf::pem_first_label(data.text);
                if (label == kf::PemLabel::PrivateKey || label == kf::PemLabel::EncryptedPrivateKey) {
                    return set_error(key_serialization_error_type(),
                                     "PEM: this is a private key, not a PUBLIC KEY (load it with load_private_key)");
                }
                return raise_core_error(body.error(), kWrongPassword);
            }
            decoded = std::move(*body);
            der = decoded.span();
        }
        auto key = kf::spki_decode(der, check);
        if (!key) return raise_core_error(key.error(), kWrongPassword);
        PyRef ek(to_bytes(key->ek));
        PyRef level(security_level_for_index(key->level));
        if (!ek || !level) return nullptr;
        return PyTuple_Pack(2, ek.get(), level.get());
    });
}

// public_key_to_spki(ek, level, pem=False)
PyObject* public_key_to_spki(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"ek", "level", "pem"};
        PyObject* a[3];
        BufferArg ek;
        std::uint8_t level = 1;
        bool pem = false;
        if (!parse_args({"public_key_to_spki", names, 2}, args, nargs, kwnames, a) || !ek.parse(a[0], "ek") ||
            !arg_level(a[1], "level", &level) || !arg_flag(a[2], false, &pem)) {
            return nullptr;
        }
        if (ek.span().size() != mlkem::ek_size(level)) {
            return set_error(invalid_parameter_error_type(), "public key size does not match the level");
        }
        const auto der = kf::spki_encode(ek.span(), level);
        if (!pem) return to_bytes(der);
        return to_str(kf::pem_encode(kf::PemLabel::PublicKey, der));
    });
}

// is_encrypted_private_key(data) -> bool
PyObject* is_encrypted_private_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"data"};
        PyObject* a[1];
        DataArg data;
        if (!parse_args({"is_encrypted_private_key", names, 1}, args, nargs, kwnames, a) || !data.parse(a[0], "data")) {
            return nullptr;
        }
        bool encrypted = false;
        if (data.looks_like_pem()) {
            encrypted = data.text.find(key_text::kEncryptedKeyHeader) != std::string_view::npos ||
                        kf::pem_first_label(data.text) == kf::PemLabel::EncryptedPrivateKey;
        } else {
            const auto b = data.bytes();
            encrypted = is_vlpk_blob(b) || kf::is_encrypted_private_key_info(b);
        }
        return PyBool_FromLong(encrypted ? 1 : 0);
    });
}

// One FIPS 203 check of a key at a level: (key, level) -> bool.
using LevelCheck = bool (*)(std::span<const std::uint8_t>, mlkem::LevelIndex);

PyObject* run_level_check(const char* function, const char* key_name, LevelCheck check, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const char* const names[] = {key_name, "level"};
        PyObject* a[2];
        BufferArg key;
        std::uint8_t level = 1;
        if (!parse_args({function, names, 2}, args, nargs, kwnames, a) || !key.parse(a[0], key_name) ||
            !arg_level(a[1], "level", &level)) {
            return nullptr;
        }
        const bool ok = without_gil([&] { return check(key.span(), level); });
        return PyBool_FromLong(ok ? 1 : 0);
    });
}

PyObject* fips203_modulus_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_level_check("fips203_modulus_check", "ek", fips203::ek_modulus_check, args, nargs, kwnames);
}

PyObject* fips203_hash_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_level_check("fips203_hash_check", "dk", fips203::dk_hash_check, args, nargs, kwnames);
}

// ---- registration -------------------------------------------------------------------

#define KEYS_FN(name, doc) {#name, VELORA_FASTCALL(name), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef kKeyMethods[] = {
    KEYS_FN(secret_key_generate, "secret_key_generate(level): a SecretKey from a fresh random seed."),
    KEYS_FN(secret_key_from_seed, "secret_key_from_seed(seed, level): ML-KEM.KeyGen_internal of the 64-byte seed."),
    KEYS_FN(secret_key_from_expanded,
            "secret_key_from_expanded(dk, level, check=True): a SecretKey from a decapsulation key."),
    KEYS_FN(secret_key_load,
            "secret_key_load(data, password=None, check=True, accept='any'): PKCS#8, encrypted PKCS#8, VLPK."),
    KEYS_FN(public_key_load, "public_key_load(data, check=True, accept='any') -> (ek, level): SPKI DER or PEM."),
    KEYS_FN(public_key_to_spki, "public_key_to_spki(ek, level, pem=False): SPKI DER bytes or PEM str."),
    KEYS_FN(is_encrypted_private_key, "is_encrypted_private_key(data): encrypted PKCS#8 or a VLPK blob."),
    KEYS_FN(fips203_modulus_check, "fips203_modulus_check(ek, level): the FIPS 203 section 7.2 check."),
    KEYS_FN(fips203_hash_check, "fips203_hash_check(dk, level): the FIPS 203 section 7.3 check."),
};

#undef KEYS_FN

}  // namespace

constinit const FunctionTable kKeysFunctions{kKeyMethods};

PyObject* keys_secret_key_type() { return secret_key_type(); }

}  // namespace velora::bindings
