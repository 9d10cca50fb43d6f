// Writes the seed corpora of the fuzz targets from valid outputs of the engine.
// Usage: fuzz_seeds OUT_DIR   (creates OUT_DIR/<target>/seed-<n>)
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/hybrid/hybrid.hpp"
#include "core/keys/key_formats.hpp"
#include "core/keys/key_text.hpp"
#include "core/key_wrap/key_wrap.hpp"
#include "core/mldsa/mldsa.hpp"
#include "core/mlkem/encaps.hpp"
#include "core/stream/stream.hpp"
#include "fuzz_common.hpp"
#include "age_common.hpp"
#include "core/age/age.hpp"
#include "core/xwing/xwing.hpp"
#include "primitives/x25519.hpp"

using namespace velora;
using namespace velora::fuzz;
namespace fs = std::filesystem;

namespace {

fs::path g_out;

void write_seed(const std::string& target, int n, ByteSpan bytes) {
    const fs::path dir = g_out / target;
    fs::create_directories(dir);
    std::ofstream f(dir / ("seed-" + std::to_string(n)), std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_seed(const std::string& target, int n, std::string_view text) {
    write_seed(target, n, ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Bytes cat(std::initializer_list<ByteSpan> parts) {
    Bytes out;
    for (ByteSpan p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes be32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v)};
}

template <class T>
T must(Result<T> r, const char* what) {
    if (!r) {
        std::fprintf(stderr, "fuzz_seeds: %s failed\n", what);
        std::exit(1);
    }
    return std::move(*r);
}

void public_key_seeds(LevelIndex level, int& n) {
    const std::string b64 = key_text::public_key_to_b64(fixed_keys(level).ek);
    write_seed("fuzz_public_key_b64", n++, b64);
    write_seed("fuzz_public_key_b64", n++, " \t" + b64 + "==\n");
}

void kem_seeds(LevelIndex level, int& n) {
    const auto& keys = fixed_keys(level);
    const Bytes lv = {level};
    auto enc = must(mlkem::ml_kem_encaps(keys.ek, level), "encaps");
    write_seed("fuzz_decaps", n, cat({lv, Bytes{0}, enc.capsule}));
    write_seed("fuzz_decaps", n + 10, cat({lv, Bytes{1}, keys.dk, enc.capsule}));
    const Bytes m(32, static_cast<std::uint8_t>(0x40 + level));
    write_seed("fuzz_encaps", n, cat({lv, m, keys.ek}));
    ++n;
}

void transit_seeds(LevelIndex level, int& n) {
    const auto& keys = fixed_keys(level);
    const Bytes lv = {level};
    for (std::size_t len : {0, 5, 40}) {
        const Bytes pt(len, static_cast<std::uint8_t>(0x61 + len));
        auto package = must(hybrid::seal_transit_package(keys.ek, pt, level), "seal");
        write_seed("fuzz_transit_open", n, cat({lv, Bytes{0}, package}));
        write_seed("fuzz_transit_open", n + 10, cat({lv, Bytes{1}, keys.dk, package}));
        ++n;
    }
}

// A record of fuzz_stream_decrypt: op, tag length, len, ciphertext, tag.
Bytes record(std::uint8_t op, ByteSpan ciphertext, ByteSpan tag) {
    return cat({Bytes{op, static_cast<std::uint8_t>(tag.size())}, be32(static_cast<std::uint32_t>(ciphertext.size())),
                ciphertext, tag});
}

void stream_seeds(LevelIndex level, int& n) {
    const auto& keys = fixed_keys(level);
    auto setup = must(stream::stream_encryptor_new(keys.ek, 64, level), "stream_encryptor_new");
    Bytes input = cat({Bytes{level, 0}, setup.header});
    for (std::size_t len : {64, 1, 30}) {
        const Bytes pt(len, static_cast<std::uint8_t>(len));
        const Bytes frame = must(setup.encryptor.encrypt_chunk(pt), "encrypt_chunk");
        const ByteSpan f(frame);
        input = cat({input, record(0, f.subspan(4, len), f.subspan(4 + len))});
    }
    const auto eof = must(setup.encryptor.finalize(), "finalize");
    const Bytes with_eof = cat({input, record(1, {}, ByteSpan(eof).subspan(4))});
    write_seed("fuzz_stream_decrypt", n++, cat({with_eof, record(2, {}, {})}));
    write_seed("fuzz_stream_decrypt", n++, with_eof);
}

void key_text_seeds(LevelIndex level, int& n) {
    const auto& keys = fixed_keys(level);
    const std::string pem = key_text::public_key_to_pem(keys.ek);
    write_seed("fuzz_pem", n, pem);
    write_seed("fuzz_json", n, key_text::public_key_to_json(keys.ek, level));

    static const std::uint8_t password[] = {'f', 'u', 'z', 'z'};
    const Bytes blob = must(key_wrap::wrap_secret_key_blob(keys.dk, level, password), "wrap_secret_key_blob");
    write_seed("fuzz_pem", n + 10, key_text::secret_key_blob_to_pem(blob));
    write_seed("fuzz_wrapped_blob", n, cat({Bytes{sizeof password}, ByteSpan(password), blob}));
    write_seed("fuzz_wrapped_blob", n + 10, cat({Bytes{0}, blob}));  // the empty password: wrong here
    ++n;
}

// ---- key formats: SPKI, PKCS#8 in its three forms, encrypted PKCS#8, PEM ----
void key_format_seeds(LevelIndex level, int& n) {
    namespace kf = key_formats;
    std::array<std::uint8_t, 64> seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i + level);
    auto key = must(keys::from_seed(seed, level), "from_seed");
    const auto spki = kf::spki_encode(key.ek(), level);
    write_seed("fuzz_spki", n, spki);
    write_seed("fuzz_key_pem", n * 4, kf::pem_encode(kf::PemLabel::PublicKey, spki));
    int f = 0;
    for (auto form : {mlkem_key::Form::Seed, mlkem_key::Form::Expanded, mlkem_key::Form::Both}) {
        auto der = must(kf::pkcs8_encode(key, form), "pkcs8_encode");
        write_seed("fuzz_pkcs8", 3 * n + f, der.span());
        const auto inner = mlkem_key::encode(form, key.seed.span(), key.dk.span(), level);
        write_seed("fuzz_mlkem_private_key", 3 * n + f, cat({Bytes{level}, inner.span()}));
        write_seed("fuzz_key_pem", n * 4 + 1 + f, kf::pem_encode(kf::PemLabel::PrivateKey, der.span()));
        ++f;
    }
    auto plain = must(kf::pkcs8_encode(key, mlkem_key::Form::Seed), "pkcs8_encode");
    const Bytes password = {'p', 'w'};
    kf::EncryptionSettings scrypt;
    scrypt.scrypt_n = 16;
    kf::EncryptionSettings pbkdf2;
    pbkdf2.kdf = kf::Kdf::Pbkdf2HmacSha256;
    pbkdf2.pbkdf2_iterations = 10;
    const auto e1 = must(kf::pkcs8_encrypt(plain.span(), password, scrypt), "pkcs8_encrypt");
    const auto e2 = must(kf::pkcs8_encrypt(plain.span(), password, pbkdf2), "pkcs8_encrypt");
    write_seed("fuzz_encrypted_pkcs8", 2 * n, cat({Bytes{2}, password, e1}));
    write_seed("fuzz_encrypted_pkcs8", 2 * n + 1, cat({Bytes{2}, password, e2}));
    ++n;
}

// fuzz_sha3_lanes: the sponges of one ML-KEM operation (matrix entries,
// noise PRFs, H(ek) and J(z || c)), and one job of each function.
void sha3_lanes_seeds(LevelIndex level, int& n) {
    const auto& keys = fixed_keys(level);
    auto job = [](std::uint8_t function, std::size_t len, std::uint8_t split, std::size_t out, ByteSpan input) {
        return cat({Bytes{function, static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len), split,
                          static_cast<std::uint8_t>(out >> 8), static_cast<std::uint8_t>(out)},
                    input.first(std::min(len, input.size()))});
    };
    Bytes mix = job(0, keys.ek.size() % 600, 255, 32, keys.ek);  // SHA3-256 of a key's first bytes
    mix = cat({mix, job(3, 33, 247, 128, keys.dk)});
    for (std::uint8_t e = 0; e < 9; ++e) mix = cat({mix, job(2, 34, 240, 504, ByteSpan(keys.ek).subspan(e))});
    mix = cat({mix, job(3, 599, 14, 32, keys.dk)});  // J-like: a 32-byte part, then the rest
    write_seed("fuzz_sha3_lanes", n++, mix);
    write_seed("fuzz_sha3_lanes", n++, cat({job(1, 72, 100, 0, keys.dk), job(2, 168, 0, 1199, keys.ek)}));
}

}  // namespace

// age payloads sealed with the fixed key, stanzas for the fixed identities,
// HPKE messages for the fixed keys of every suite.
void age_and_hpke_seeds() {
    int n = 0;
    for (std::size_t len : {0, 1, 100, 3000}) {
        const Bytes pt(len, 0x42);
        Bytes ct(age::sealed_size(len, true));
        if (!age::seal_chunks(kPayloadKey, 0, pt, true, ct)) std::exit(1);
        write_seed("fuzz_age_payload", n++, cat({Bytes{0, 1}, ct}));
        write_seed("fuzz_age_payload", n++, cat({Bytes{0, 3}, ct}));  // after one genuine full chunk
    }
    std::array<std::uint8_t, 32> x_pub{};
    if (!primitives::x25519_public_key(kX25519Identity, x_pub)) std::exit(1);
    const auto x = must(age::wrap_x25519(kFileKey, x_pub), "wrap_x25519");
    write_seed("fuzz_age_stanza", 0, cat({Bytes{0, 32}, x.argument, x.body}));
    const auto pk = must(xwing::public_key(kHybridIdentity), "xwing public key");
    const auto h = must(age::wrap_hybrid(kFileKey, pk), "wrap_hybrid");
    write_seed("fuzz_age_stanza", 1, cat({Bytes{1, 255}, h.argument, h.body}));
    const auto s = must(age::wrap_scrypt(kFileKey, kPassphrase, 1), "wrap_scrypt");
    write_seed("fuzz_age_stanza", 2, cat({Bytes{2, 16}, s.argument, s.body}));
    for (std::uint8_t b = 0; b < 36; ++b) {
        const hpke::Suite suite = hpke_suite_from(b);
        const Bytes info = {'i'}, aad = {'a', 'a'}, pt(40, 0x33);
        const auto sealed = must(hpke::seal(suite, hpke_keys(suite.kem).public_key, info, aad, pt), "hpke seal");
        write_seed("fuzz_hpke_open", b, cat({Bytes{b, 1, 2}, info, aad, sealed.enc, sealed.ciphertext}));
    }
}

// fuzz_mldsa: a valid signature of the target's fixed key pair (the same
// seeds as there) in mode 0 and 1, and that key's expanded form in mode 2.
void mldsa_seeds(mldsa::LevelIndex level, int& n) {
    std::array<std::uint8_t, 32> xi{};
    for (std::size_t i = 0; i < 32; ++i) xi[i] = static_cast<std::uint8_t>(0x44 + i + level);
    const mldsa::KeyPairBytes kp = mldsa::keygen(xi, level);
    const std::array<std::uint8_t, 5> message = {'f', 'u', 'z', 'z', '!'};
    const std::array<std::uint8_t, 32> zero{};
    const Bytes sig = must(mldsa::sign(kp.sk, message, {}, zero, level), "ML-DSA signing");
    const Bytes lv{level};
    write_seed("fuzz_mldsa", n++, cat({lv, Bytes{0}, sig}));
    write_seed("fuzz_mldsa", n++, cat({lv, Bytes{1}, kp.pk, sig}));
    write_seed("fuzz_mldsa", n++, cat({lv, Bytes{2}, kp.sk}));
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds OUT_DIR\n");
        return 2;
    }
    g_out = argv[1];
    int pk = 0, kem = 0, transit = 0, stream = 0, text = 0, formats = 0, lanes = 0, mldsa_n = 0;
    write_seed("fuzz_public_key_b64", pk++, std::string_view{});
    for (LevelIndex level = 0; level < 3; ++level) {
        public_key_seeds(level, pk);
        kem_seeds(level, kem);
        transit_seeds(level, transit);
        stream_seeds(level, stream);
        key_text_seeds(level, text);
        key_format_seeds(level, formats);
        sha3_lanes_seeds(level, lanes);
        mldsa_seeds(level, mldsa_n);
    }
    age_and_hpke_seeds();
    return 0;
}
