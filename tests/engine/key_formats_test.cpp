// ML-KEM keys in the IETF formats and encrypted PKCS#8 (PBES2), against
// structures built here byte by byte from RFC 9935, RFC 5958 and RFC 8018's
// ASN.1, against libcrypto's own PKCS#8 encryption (PKCS8_set0_pbe,
// PKCS8_decrypt: an independent implementation of PBES2), and against hostile
// parameters a file may carry: each is refused with the error that names its
// rule before any key derivation, in bounded memory.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/keys/key_formats.hpp"
#include "core/keys/key_material.hpp"
#include "core/mlkem/keygen.hpp"
#include "hex.hpp"
#include "vectors.hpp"

namespace velora::key_formats {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- DER, built by hand --------------------------------------------------------

Bytes tlv(std::uint8_t tag, const Bytes& body) {
    Bytes out{tag};
    const std::size_t n = body.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<std::uint8_t>(n)});
    } else if (n < 0x10000) {
        out.insert(out.end(), {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    } else {
        out.insert(out.end(), {0x83, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                               static_cast<std::uint8_t>(n)});
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes seq(std::initializer_list<Bytes> parts) { return tlv(0x30, cat(parts)); }
Bytes octets(const Bytes& b) { return tlv(0x04, b); }
Bytes integer(std::uint64_t v) {
    Bytes body;
    do {
        body.insert(body.begin(), static_cast<std::uint8_t>(v));
        v >>= 8;
    } while (v != 0);
    if (body.front() & 0x80) body.insert(body.begin(), 0x00);
    return tlv(0x02, body);
}
Bytes hex(std::string_view h) { return testing::from_hex(h); }

// OBJECT IDENTIFIERs, encoded (tag, length, arcs).
const Bytes kPbes2 = hex("06092a864886f70d01050d");        // 1.2.840.113549.1.5.13
const Bytes kPbkdf2 = hex("06092a864886f70d01050c");       // 1.2.840.113549.1.5.12
const Bytes kScrypt = hex("06092b06010401da47040b");       // 1.3.6.1.4.1.11591.4.11
const Bytes kHmacSha256 = hex("06082a864886f70d0209");     // 1.2.840.113549.2.9
const std::array<Bytes, 3> kMlKemOid = {hex("0609608648016503040401"),   // 2.16.840.1.101.3.4.4.1
                                        hex("0609608648016503040402"),   // .2
                                        hex("0609608648016503040403")};  // .3

Bytes aes256_cbc_oid() { return hex("060960864801650304012a"); }  // 2.16.840.1.101.3.4.1.42

Bytes scrypt_epki(std::uint64_t n, std::uint64_t r, std::uint64_t p, const Bytes& iv = Bytes(16),
                  const Bytes& ciphertext = Bytes(96), const Bytes& salt = Bytes(16)) {
    const Bytes kdf = seq({kScrypt, seq({octets(salt), integer(n), integer(r), integer(p)})});
    const Bytes enc = seq({aes256_cbc_oid(), octets(iv)});
    return seq({seq({kPbes2, seq({kdf, enc})}), octets(ciphertext)});
}

// With `prf` false, the PRF is left out: its default is hmacWithSHA1.
Bytes pbkdf2_epki(std::uint64_t iterations, const Bytes& iv = Bytes(16), bool prf = true) {
    const Bytes params = cat({octets(Bytes(16)), integer(iterations), prf ? seq({kHmacSha256, hex("0500")}) : Bytes{}});
    const Bytes kdf = seq({kPbkdf2, tlv(0x30, params)});
    const Bytes enc = seq({aes256_cbc_oid(), octets(iv)});
    return seq({seq({kPbes2, seq({kdf, enc})}), octets(Bytes(96))});
}

Bytes seed_bytes() {
    Bytes seed(64);
    for (std::size_t i = 0; i < 64; ++i) seed[i] = static_cast<std::uint8_t>(i);
    return seed;
}

Bytes span_bytes(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

// ---- hostile PBES2 parameters ---------------------------------------------------

constexpr std::string_view kCost =
    "PBES2: scrypt cost exceeds the limit for reading keys (memory 128*r*(N+2p+2) at most 260 MiB, "
    "work N*r*p at most 2^22 and r*p at most 2^16)";
constexpr std::string_view kRfc7914 = "PBES2: scrypt N must be below 2^(16*r) (RFC 7914)";
constexpr std::string_view kShape = "PBES2: scrypt N must be a power of two above 1, and r and p at least 1";
constexpr std::string_view kIv = "PBES2: the aes256-CBC IV must be a 16-byte OCTET STRING";
constexpr std::string_view kIterations =
    "PBES2: PBKDF2 iteration count outside the limit for reading keys (1 to 10,000,000)";

struct HostileCase {
    const char* name;
    Bytes der;
    std::string_view message;
};

std::vector<HostileCase> hostile_cases() {
    constexpr std::uint64_t k2_16 = std::uint64_t{1} << 16;
    return {
        // RFC 7914: N < 2^(128 * r / 8).
        {"N = 2^16 with r = 1", scrypt_epki(k2_16, 1, 1), kRfc7914},
        {"N = 2^17 with r = 1", scrypt_epki(2 * k2_16, 1, 1), kRfc7914},
        {"N = 2^32 with r = 2", scrypt_epki(k2_16 * k2_16, 2, 1), kRfc7914},
        {"N = 2^48 with r = 3", scrypt_epki(k2_16 * k2_16 * k2_16, 3, 1), kRfc7914},
        // The memory counts r and p, not only 128 * r * N.
        {"N = 2, r = 2^20, p = 2 (1 GiB)", scrypt_epki(2, std::uint64_t{1} << 20, 2), kCost},
        {"N = 2, r = 1, p = 2^21 (twice 256 MiB of B)", scrypt_epki(2, 1, std::uint64_t{1} << 21), kCost},
        {"N = 2^18, r = 8, p = 2^12", scrypt_epki(std::uint64_t{1} << 18, 8, 1 << 12), kCost},
        {"N = 2^21, r = 8 (2 GiB)", scrypt_epki(std::uint64_t{1} << 21, 8, 1), kCost},
        // The work counts p.
        {"N = 2^17, r = 8, p = 5", scrypt_epki(std::uint64_t{1} << 17, 8, 5), kCost},
        {"N = 2^10, r = 1, p = 2^13", scrypt_epki(1024, 1, 1 << 13), kCost},
        // r * p blocks cost PBKDF2 work whatever N is.
        {"N = 2, r = 1, p = 2^16 + 1", scrypt_epki(2, 1, (1 << 16) + 1), kCost},
        {"N = 2, r = 2^16 + 1, p = 1", scrypt_epki(2, (1 << 16) + 1, 1), kCost},
        {"N = 2, r = 2^8, p = 2^8 + 1", scrypt_epki(2, 1 << 8, (1 << 8) + 1), kCost},
        {"values near 2^64", scrypt_epki(std::uint64_t{1} << 63, UINT64_MAX, UINT64_MAX), kCost},
        {"N = 1", scrypt_epki(1, 8, 1), kShape},
        {"N = 3", scrypt_epki(3, 8, 1), kShape},
        {"r = 0", scrypt_epki(1024, 0, 1), kShape},
        {"p = 0", scrypt_epki(1024, 8, 0), kShape},
        // The IV of aes256-CBC is one block, exactly.
        {"IV of 17 bytes", scrypt_epki(1024, 8, 1, Bytes(17)), kIv},
        {"IV of 15 bytes", scrypt_epki(1024, 8, 1, Bytes(15)), kIv},
        {"IV of 32 bytes", scrypt_epki(1024, 8, 1, Bytes(32)), kIv},
        {"IV of 0 bytes", scrypt_epki(1024, 8, 1, Bytes()), kIv},
        {"PBKDF2 IV of 17 bytes", pbkdf2_epki(1000, Bytes(17)), kIv},
        {"PBKDF2 0 iterations", pbkdf2_epki(0), kIterations},
        {"PBKDF2 with the default PRF (hmacWithSHA1)", pbkdf2_epki(1000, Bytes(16), false),
         "PBES2: unsupported PBKDF2 PRF (expected hmacWithSHA256)"},
        {"PBKDF2 10,000,001 iterations", pbkdf2_epki(10'000'001), kIterations},
        {"salt of 1025 bytes", scrypt_epki(1024, 8, 1, Bytes(16), Bytes(96), Bytes(1025)),
         "PBES2: the salt is longer than 1 KiB"},
        {"ciphertext of 64 KiB + 16", scrypt_epki(1024, 8, 1, Bytes(16), Bytes(64 * 1024 + 16)),
         "EncryptedPrivateKeyInfo: the ciphertext is too long for an ML-KEM private key"},
        {"ciphertext not whole blocks", scrypt_epki(1024, 8, 1, Bytes(16), Bytes(95)),
         "EncryptedPrivateKeyInfo: the ciphertext is not a whole number of 16-byte AES blocks"},
    };
}

TEST(Pbes2Hostile, RefusedWithTheRuleNamed) {
    for (const HostileCase& c : hostile_cases()) {
        const auto r = pkcs8_decrypt(c.der, Bytes{'p', 'w'}, ReadLimits{});
        ASSERT_FALSE(r.has_value()) << c.name;
        EXPECT_EQ(r.error().kind, VeloraError::Kind::KeySerialization) << c.name;
        EXPECT_EQ(r.error().message, c.message) << c.name;
    }
}

// The address space of this process now, in bytes (/proc/self/statm).
std::uint64_t address_space_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

#if defined(__SANITIZE_ADDRESS__)
#define VELORA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELORA_ASAN 1
#endif
#endif

// Refused before any allocation of the size the parameters ask for: in a
// child whose address space may grow by 16 MiB at most, each hostile file is
// refused as KeySerialization (a derivation would fail to allocate instead).
TEST(Pbes2Hostile, RefusedWithinSixteenMebibytes) {
#ifdef VELORA_ASAN
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space: no address-space limit can be set";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto cases = hostile_cases();
    const auto child = [&cases] {
        const std::uint64_t limit = address_space_bytes() + (std::uint64_t{16} << 20);
        const rlimit lim{limit, limit};
        if (::setrlimit(RLIMIT_AS, &lim) != 0) std::_Exit(2);
        for (const HostileCase& c : cases) {
            try {
                const auto r = pkcs8_decrypt(c.der, Bytes{'p', 'w'}, ReadLimits{});
                if (r.has_value() || r.error().kind != VeloraError::Kind::KeySerialization) {
                    std::fprintf(stderr, "not refused: %s\n", c.name);
                    std::_Exit(1);
                }
            } catch (...) {
                std::fprintf(stderr, "allocation failed: %s\n", c.name);
                std::_Exit(1);
            }
        }
        std::_Exit(0);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
#endif
}

// The write side applies the same rules: RFC 7914's is a KeySerialization
// error, a cost above the limits an InvalidParameter one.
TEST(Pbes2Hostile, WriteSettingsAreChecked) {
    const auto key = keys::from_seed(seed_bytes(), 1);
    ASSERT_TRUE(key.has_value());
    const auto plain = pkcs8_encode(*key, mlkem_key::Form::Seed);
    ASSERT_TRUE(plain.has_value());
    struct WriteCase {
        const char* name;
        std::uint64_t n;
        std::uint32_t r, p;
        VeloraError::Kind kind;
        std::string_view message;
    };
    const WriteCase cases[] = {
        {"N = 2^17 with r = 1", std::uint64_t{1} << 17, 1, 1, VeloraError::Kind::KeySerialization,
         "scrypt N must be below 2^(16*r) (RFC 7914)"},
        {"N = 2^16 with r = 1", std::uint64_t{1} << 16, 1, 1, VeloraError::Kind::KeySerialization,
         "scrypt N must be below 2^(16*r) (RFC 7914)"},
        {"N = 2, r = 1, p = 2^21", 2, 1, 1u << 21, VeloraError::Kind::InvalidParameter,
         "scrypt cost too high (memory 128*r*(N+2p+2) at most 260 MiB, work N*r*p at most 2^22 and r*p at most 2^16)"},
        {"N = 2^21, r = 8", std::uint64_t{1} << 21, 8, 1, VeloraError::Kind::InvalidParameter,
         "scrypt cost too high (memory 128*r*(N+2p+2) at most 260 MiB, work N*r*p at most 2^22 and r*p at most 2^16)"},
    };
    for (const WriteCase& c : cases) {
        EncryptionSettings s;
        s.scrypt_n = c.n;
        s.scrypt_r = c.r;
        s.scrypt_p = c.p;
        const auto r = pkcs8_encrypt(plain->span(), Bytes{'p', 'w'}, s);
        ASSERT_FALSE(r.has_value()) << c.name;
        EXPECT_EQ(r.error().kind, c.kind) << c.name;
        EXPECT_EQ(r.error().message, c.message) << c.name;
    }
}

TEST(Pbes2Limits, MemoryCountsEveryBlockScryptAllocates) {
    // V: N + 2 blocks, B and its copy: 2p blocks, of 128 * r bytes each.
    EXPECT_EQ(scrypt_memory(std::uint64_t{1} << 17, 8, 1), 128ull * 8 * ((1ull << 17) + 4));
    EXPECT_EQ(scrypt_memory(2, std::uint64_t{1} << 20, 2), 128ull * (1ull << 20) * 8);
    EXPECT_EQ(scrypt_memory(2, 1, std::uint64_t{1} << 21), 128ull * ((1ull << 22) + 4));
    EXPECT_EQ(scrypt_memory(UINT64_MAX, 1, 1), UINT64_MAX);
    EXPECT_EQ(scrypt_memory(2, 1, UINT64_MAX / 2), UINT64_MAX);
    EXPECT_EQ(scrypt_memory(2, UINT64_MAX / 64, 1), UINT64_MAX);
    // The largest N at r = 8 still read: 2^18, 256 MiB and 4 KiB.
    EXPECT_LE(scrypt_memory(std::uint64_t{1} << 18, 8, 1), ReadLimits{}.max_scrypt_memory);
    EXPECT_GT(scrypt_memory(std::uint64_t{1} << 19, 8, 1), ReadLimits{}.max_scrypt_memory);
}

// ---- libcrypto's PBES2 as the other side ------------------------------------------

struct SigDeleter {
    void operator()(X509_SIG* s) const { X509_SIG_free(s); }
};
struct P8Deleter {
    void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};

// An EncryptedPrivateKeyInfo of `plain` written by libcrypto.
Bytes libcrypto_encrypt(const Bytes& plain, const std::string& password, bool scrypt) {
    const unsigned char* in = plain.data();
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Deleter> p8(
        d2i_PKCS8_PRIV_KEY_INFO(nullptr, &in, static_cast<long>(plain.size())));
    EXPECT_TRUE(p8 != nullptr);
    if (!p8) return {};
    X509_ALGOR* alg = scrypt ? PKCS5_pbe2_set_scrypt(EVP_aes_256_cbc(), nullptr, 16, nullptr, 1 << 12, 8, 2)
                             : PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), 2048, nullptr, 16, nullptr, NID_hmacWithSHA256);
    EXPECT_TRUE(alg != nullptr);
    std::unique_ptr<X509_SIG, SigDeleter> sig(
        PKCS8_set0_pbe(password.data(), static_cast<int>(password.size()), p8.get(), alg));
    EXPECT_TRUE(sig != nullptr);
    if (!sig) {
        X509_ALGOR_free(alg);
        return {};
    }
    unsigned char* out = nullptr;
    const int n = i2d_X509_SIG(sig.get(), &out);
    Bytes der(out, out + n);
    OPENSSL_free(out);
    return der;
}

// libcrypto's reading of an EncryptedPrivateKeyInfo; empty when it fails.
Bytes libcrypto_decrypt(const Bytes& der, const std::string& password) {
    const unsigned char* in = der.data();
    std::unique_ptr<X509_SIG, SigDeleter> sig(d2i_X509_SIG(nullptr, &in, static_cast<long>(der.size())));
    if (!sig) return {};
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Deleter> p8(
        PKCS8_decrypt(sig.get(), password.data(), static_cast<int>(password.size())));
    if (!p8) return {};
    unsigned char* out = nullptr;
    const int n = i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &out);
    Bytes plain(out, out + n);
    OPENSSL_clear_free(out, static_cast<std::size_t>(n));
    return plain;
}

TEST(Pbes2Libcrypto, ReadsWhatLibcryptoWrites) {
    const auto key = keys::from_seed(seed_bytes(), 2);
    ASSERT_TRUE(key.has_value());
    const auto plain = pkcs8_encode(*key, mlkem_key::Form::Both);
    ASSERT_TRUE(plain.has_value());
    for (bool scrypt : {true, false}) {
        SCOPED_TRACE(scrypt ? "scrypt" : "PBKDF2-HMAC-SHA256");
        const Bytes der = libcrypto_encrypt(span_bytes(plain->span()), "open sesame", scrypt);
        ASSERT_FALSE(der.empty());
        const auto got = pkcs8_decrypt(der, Bytes{'o', 'p', 'e', 'n', ' ', 's', 'e', 's', 'a', 'm', 'e'}, ReadLimits{});
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(span_bytes(got->span()), span_bytes(plain->span()));
        const auto decoded = pkcs8_decrypt_and_decode(der, Bytes{'o', 'p', 'e', 'n', ' ', 's', 'e', 's', 'a', 'm', 'e'},
                                                      ReadLimits{}, true);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(span_bytes(decoded->dk.span()), span_bytes(key->dk.span()));
        const auto wrong = pkcs8_decrypt(der, Bytes{'o', 'p', 'e', 'n'}, ReadLimits{});
        ASSERT_FALSE(wrong.has_value());
        EXPECT_EQ(wrong.error().kind, VeloraError::Kind::Decryption);
    }
}

TEST(Pbes2Libcrypto, LibcryptoReadsWhatIsWrittenHere) {
    const auto key = keys::from_seed(seed_bytes(), 0);
    ASSERT_TRUE(key.has_value());
    const auto plain = pkcs8_encode(*key, mlkem_key::Form::Seed);
    ASSERT_TRUE(plain.has_value());
    EncryptionSettings scrypt;
    scrypt.scrypt_n = 1 << 12;
    scrypt.scrypt_p = 2;
    EncryptionSettings pbkdf2;
    pbkdf2.kdf = Kdf::Pbkdf2HmacSha256;
    pbkdf2.pbkdf2_iterations = 1000;
    for (const EncryptionSettings& s : {scrypt, pbkdf2}) {
        const auto der = pkcs8_encrypt(plain->span(), Bytes{'k', 'e', 'y'}, s);
        ASSERT_TRUE(der.has_value());
        EXPECT_TRUE(is_encrypted_private_key_info(*der));
        EXPECT_EQ(libcrypto_decrypt(*der, "key"), span_bytes(plain->span()));
        EXPECT_TRUE(libcrypto_decrypt(*der, "kex").empty());
    }
}

// ---- ML-KEM keys in SPKI and PKCS#8 (RFC 9935), built by hand ------------------------

TEST(MlKemKeyFormats, Pkcs8AndSpkiBytesByTheRfc) {
    const Bytes seed = seed_bytes();
    for (mlkem::LevelIndex level = 0; level < 3; ++level) {
        SCOPED_TRACE("level " + std::to_string(level));
        const auto key = keys::from_seed(seed, level);
        ASSERT_TRUE(key.has_value());
        std::array<std::uint8_t, 32> d{}, z{};
        std::copy_n(seed.begin(), 32, d.begin());
        std::copy_n(seed.begin() + 32, 32, z.begin());
        const mlkem::KeyPairBytes pair = mlkem::ml_kem_keygen(d, z, level);
        EXPECT_EQ(span_bytes(key->dk.span()), pair.dk);

        // OneAsymmetricKey { version 0, AlgorithmIdentifier { id-alg-ml-kem-N },
        // privateKey OCTET STRING { seed [0] IMPLICIT OCTET STRING } }.
        const Bytes alg = seq({kMlKemOid[level]});
        const Bytes seed_form = seq({integer(0), alg, octets(tlv(0x80, seed))});
        const Bytes expanded_form = seq({integer(0), alg, octets(octets(pair.dk))});
        const Bytes both_form = seq({integer(0), alg, octets(seq({octets(seed), octets(pair.dk)}))});
        const std::pair<mlkem_key::Form, const Bytes*> forms[] = {
            {mlkem_key::Form::Seed, &seed_form},
            {mlkem_key::Form::Expanded, &expanded_form},
            {mlkem_key::Form::Both, &both_form},
        };
        for (const auto& [form, der] : forms) {
            const auto encoded = pkcs8_encode(*key, form);
            ASSERT_TRUE(encoded.has_value());
            EXPECT_EQ(span_bytes(encoded->span()), *der);
            const auto decoded = pkcs8_decode(*der, true);
            ASSERT_TRUE(decoded.has_value());
            EXPECT_EQ(decoded->level, level);
            EXPECT_EQ(span_bytes(decoded->dk.span()), pair.dk);
        }
        // SubjectPublicKeyInfo { AlgorithmIdentifier { id-alg-ml-kem-N }, BIT STRING ek }.
        Bytes bits{0x00};
        bits.insert(bits.end(), pair.ek.begin(), pair.ek.end());
        const Bytes spki = seq({alg, tlv(0x03, bits)});
        EXPECT_EQ(spki_encode(pair.ek, level), spki);
        const auto pub = spki_decode(spki, true);
        ASSERT_TRUE(pub.has_value());
        EXPECT_EQ(pub->ek, pair.ek);
        EXPECT_EQ(pub->level, level);
    }
}

TEST(MlKemKeyFormats, RefusesWhatTheRfcForbids) {
    const Bytes seed = seed_bytes();
    const Bytes alg = seq({kMlKemOid[1]});
    const auto pair = mlkem::ml_kem_keygen(testing::array_from_hex<32>(testing::to_hex(std::span(seed).first(32))),
                                           testing::array_from_hex<32>(testing::to_hex(std::span(seed).last(32))), 1);
    Bytes seed63(seed.begin(), seed.end() - 1);
    Bytes ek_short(pair.ek.begin(), pair.ek.end() - 1);
    Bytes bits{0x00};
    bits.insert(bits.end(), pair.ek.begin(), pair.ek.end());
    Bytes bits_unused = bits;
    bits_unused[0] = 0x01;
    struct Case {
        const char* name;
        Bytes der;
        bool is_spki;
    };
    const Case cases[] = {
        {"seed of 63 bytes", seq({integer(0), alg, octets(tlv(0x80, seed63))}), false},
        {"AlgorithmIdentifier with NULL parameters", seq({integer(0), seq({kMlKemOid[1], hex("0500")}),
                                                          octets(tlv(0x80, seed))}),
         false},
        {"version 2", seq({integer(2), alg, octets(tlv(0x80, seed))}), false},
        {"an unknown OID (.4)", seq({integer(0), seq({hex("0609608648016503040404")}), octets(tlv(0x80, seed))}),
         false},
        {"trailing byte", cat({seq({integer(0), alg, octets(tlv(0x80, seed))}), Bytes{0}}), false},
        {"SPKI key one byte short", seq({alg, tlv(0x03, cat({Bytes{0}, ek_short}))}), true},
        {"SPKI BIT STRING with unused bits", seq({alg, tlv(0x03, bits_unused)}), true},
        {"SPKI with NULL parameters", seq({seq({kMlKemOid[1], hex("0500")}), tlv(0x03, bits)}), true},
    };
    for (const Case& c : cases) {
        if (c.is_spki) {
            const auto r = spki_decode(c.der, true);
            ASSERT_FALSE(r.has_value()) << c.name;
            EXPECT_EQ(r.error().kind, VeloraError::Kind::KeySerialization) << c.name;
        } else {
            const auto r = pkcs8_decode(c.der, true);
            ASSERT_FALSE(r.has_value()) << c.name;
            EXPECT_EQ(r.error().kind, VeloraError::Kind::KeySerialization) << c.name;
        }
    }
}

// The RFC 9935 example keys (seed 00..3f), where ../shared/vectors has them.
TEST(MlKemKeyFormats, Rfc9935Examples) {
    VELORA_NEED_VECTORS(dir, testing::shared_vectors("rfc9935"), "../shared/vectors/rfc9935");
    constexpr std::array<const char*, 3> kNames = {"ML-KEM-512", "ML-KEM-768", "ML-KEM-1024"};
    for (mlkem::LevelIndex level = 0; level < 3; ++level) {
        SCOPED_TRACE(kNames[level]);
        const std::string base = (dir / kNames[level]).string();
        const std::string pub_pem = testing::read_vector_file(base + ".pub");
        const auto pub_der = pem_decode(pub_pem, PemLabel::PublicKey);
        ASSERT_TRUE(pub_der.has_value());
        const auto pub = spki_decode(pub_der->span(), true);
        ASSERT_TRUE(pub.has_value());
        for (const auto& [suffix, form] : {std::pair{"-seed.priv", mlkem_key::Form::Seed},
                                          std::pair{"-expanded.priv", mlkem_key::Form::Expanded},
                                          std::pair{"-both.priv", mlkem_key::Form::Both}}) {
            const std::string text = testing::read_vector_file(base + suffix);
            const auto der = pem_decode(text, PemLabel::PrivateKey);
            ASSERT_TRUE(der.has_value()) << suffix;
            const auto key = pkcs8_decode(der->span(), true);
            ASSERT_TRUE(key.has_value()) << suffix;
            EXPECT_EQ(key->level, level);
            const auto again = pkcs8_encode(*key, form);
            ASSERT_TRUE(again.has_value()) << suffix;
            EXPECT_EQ(span_bytes(again->span()), span_bytes(der->span())) << suffix;
            EXPECT_EQ(pem_encode(PemLabel::PrivateKey, der->span()), text) << suffix;
        }
        EXPECT_EQ(pem_encode(PemLabel::PublicKey, pub_der->span()), pub_pem);
    }
}

}  // namespace
}  // namespace velora::key_formats
