// Pure ML-DSA, HashML-DSA and the internal interface (FIPS 204 Algorithms 2
// to 5, with Algorithms 7 and 8 underneath).
#include "core/mldsa/mldsa.hpp"

#include "platform/random.hpp"
#include "primitives/digest.hpp"
#include "primitives/sha3.hpp"

namespace velora::mldsa {

using primitives::ByteView;

namespace {

// 2.16.840.1.101.3.4.2.x: 06 09 60 86 48 01 65 03 04 02 x.
constexpr std::uint8_t kOidPrefix[10] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};

constexpr std::uint8_t oid_last(PreHash ph) noexcept {
    switch (ph) {
        case PreHash::Sha256: return 0x01;
        case PreHash::Sha384: return 0x02;
        case PreHash::Sha512: return 0x03;
        case PreHash::Sha224: return 0x04;
        case PreHash::Sha512_224: return 0x05;
        case PreHash::Sha512_256: return 0x06;
        case PreHash::Sha3_224: return 0x07;
        case PreHash::Sha3_256: return 0x08;
        case PreHash::Sha3_384: return 0x09;
        case PreHash::Sha3_512: return 0x0A;
        case PreHash::Shake128: return 0x0B;
        case PreHash::Shake256: return 0x0C;
    }
    return 0;
}

struct OidTable {
    std::array<std::array<std::uint8_t, 11>, 12> oids{};
    constexpr OidTable() {
        for (std::size_t i = 0; i < 12; ++i) {
            for (std::size_t b = 0; b < 10; ++b) oids[i][b] = kOidPrefix[b];
            oids[i][10] = oid_last(static_cast<PreHash>(i));
        }
    }
};
constexpr OidTable kOids;

VeloraError context_too_long() { return VeloraError::InvalidParameter("ML-DSA context: at most 255 bytes"); }

}  // namespace

std::span<const std::uint8_t> prehash_oid(PreHash ph) noexcept { return kOids.oids[static_cast<std::size_t>(ph)]; }

std::size_t prehash_size(PreHash ph) noexcept {
    switch (ph) {
        case PreHash::Sha224: case PreHash::Sha512_224: case PreHash::Sha3_224: return 28;
        case PreHash::Sha256: case PreHash::Sha512_256: case PreHash::Sha3_256: case PreHash::Shake128: return 32;
        case PreHash::Sha384: case PreHash::Sha3_384: return 48;
        case PreHash::Sha512: case PreHash::Sha3_512: case PreHash::Shake256: return 64;
    }
    return 0;
}

Result<std::vector<std::uint8_t>> prehash(PreHash ph, std::span<const std::uint8_t> message) {
    std::vector<std::uint8_t> out(prehash_size(ph));
    const auto libcrypto = [&](primitives::Digest d) -> Result<std::vector<std::uint8_t>> {
        if (!primitives::digest(d, message, out)) {
            return fail(VeloraError::InvalidParameter("HashML-DSA: libcrypto does not provide the pre-hash function"));
        }
        return std::move(out);
    };
    switch (ph) {
        case PreHash::Sha224: return libcrypto(primitives::Digest::Sha224);
        case PreHash::Sha256: return libcrypto(primitives::Digest::Sha256);
        case PreHash::Sha384: return libcrypto(primitives::Digest::Sha384);
        case PreHash::Sha512: return libcrypto(primitives::Digest::Sha512);
        case PreHash::Sha512_224: return libcrypto(primitives::Digest::Sha512_224);
        case PreHash::Sha512_256: return libcrypto(primitives::Digest::Sha512_256);
        case PreHash::Sha3_224: return libcrypto(primitives::Digest::Sha3_224);
        case PreHash::Sha3_384: return libcrypto(primitives::Digest::Sha3_384);
        case PreHash::Sha3_256: primitives::sha3_256({message}, std::span(out).first<32>()); return out;
        case PreHash::Sha3_512: primitives::sha3_512({message}, std::span(out).first<64>()); return out;
        case PreHash::Shake128: primitives::shake128({message}, out); return out;
        case PreHash::Shake256: primitives::shake256({message}, out); return out;
    }
    return fail(VeloraError::InvalidParameter("HashML-DSA: unknown pre-hash function"));
}

Result<LevelIndex> level_of_public_key_size(std::size_t size) noexcept {
    for (LevelIndex level = 0; level < 3; ++level) {
        if (size == pk_size(level)) return level;
    }
    return fail(VeloraError::InvalidParameter("ML-DSA public key: not 1312, 1952 or 2592 bytes"));
}

Result<LevelIndex> level_of_private_key_size(std::size_t size) noexcept {
    for (LevelIndex level = 0; level < 3; ++level) {
        if (size == sk_size(level)) return level;
    }
    return fail(VeloraError::InvalidParameter("ML-DSA private key: not 2560, 4032 or 4896 bytes"));
}

bool draw_rnd(std::span<std::uint8_t, 32> rnd) noexcept { return platform::fill_random(rnd); }

std::array<std::uint8_t, kTrBytes> public_key_hash(std::span<const std::uint8_t> pk) {
    std::array<std::uint8_t, kTrBytes> tr{};
    primitives::shake256({pk}, tr);
    return tr;
}

// Algorithm 2, step 10 / Algorithm 3, step 5, and Algorithm 7, step 6.
Result<Mu> pure_mu(std::span<const std::uint8_t, kTrBytes> tr, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t> ctx) {
    if (ctx.size() > kMaxContextBytes) return fail(context_too_long());
    const std::uint8_t head[2] = {0, static_cast<std::uint8_t>(ctx.size())};
    Mu mu{};
    primitives::shake256({ByteView(tr), ByteView(head), ctx, message}, mu);
    return mu;
}

// Algorithm 4, steps 10 to 23 / Algorithm 5, and Algorithm 7, step 6.
Result<Mu> prehash_mu(std::span<const std::uint8_t, kTrBytes> tr, PreHash ph, std::span<const std::uint8_t> digest,
                      std::span<const std::uint8_t> ctx) {
    if (ctx.size() > kMaxContextBytes) return fail(context_too_long());
    if (digest.size() != prehash_size(ph)) return fail(VeloraError::InvalidParameter("HashML-DSA: wrong digest length"));
    const std::uint8_t head[2] = {1, static_cast<std::uint8_t>(ctx.size())};
    Mu mu{};
    primitives::shake256({ByteView(tr), ByteView(head), ctx, prehash_oid(ph), digest}, mu);
    return mu;
}

Mu internal_mu(std::span<const std::uint8_t, kTrBytes> tr, std::span<const std::uint8_t> m_prime) {
    Mu mu{};
    primitives::shake256({ByteView(tr), m_prime}, mu);
    return mu;
}

std::span<const std::uint8_t, kTrBytes> private_key_tr(std::span<const std::uint8_t> sk) noexcept {
    return sk.subspan<64, kTrBytes>();
}

namespace {

VeloraError bad_private_key() { return VeloraError::InvalidParameter("ML-DSA private key: wrong length"); }
VeloraError bad_public_key() { return VeloraError::InvalidParameter("ML-DSA public key: wrong length"); }

}  // namespace

Result<std::vector<std::uint8_t>> sign(std::span<const std::uint8_t> sk, std::span<const std::uint8_t> message,
                                       std::span<const std::uint8_t> ctx, std::span<const std::uint8_t, 32> rnd,
                                       LevelIndex level) {
    if (sk.size() != sk_size(level)) return fail(bad_private_key());
    const Result<Mu> mu = pure_mu(private_key_tr(sk), message, ctx);
    if (!mu) return fail(mu.error());
    return sign_mu(sk, *mu, rnd, level);
}

Result<bool> verify(std::span<const std::uint8_t> pk, std::span<const std::uint8_t> message,
                    std::span<const std::uint8_t> ctx, std::span<const std::uint8_t> sig, LevelIndex level) {
    if (pk.size() != pk_size(level)) return fail(bad_public_key());
    const Result<Mu> mu = pure_mu(public_key_hash(pk), message, ctx);
    if (!mu) return fail(mu.error());
    return verify_mu(pk, *mu, sig, level);
}

Result<std::vector<std::uint8_t>> hash_sign_digest(std::span<const std::uint8_t> sk, PreHash ph,
                                                   std::span<const std::uint8_t> digest,
                                                   std::span<const std::uint8_t> ctx,
                                                   std::span<const std::uint8_t, 32> rnd, LevelIndex level) {
    if (sk.size() != sk_size(level)) return fail(bad_private_key());
    const Result<Mu> mu = prehash_mu(private_key_tr(sk), ph, digest, ctx);
    if (!mu) return fail(mu.error());
    return sign_mu(sk, *mu, rnd, level);
}

Result<bool> hash_verify_digest(std::span<const std::uint8_t> pk, PreHash ph, std::span<const std::uint8_t> digest,
                                std::span<const std::uint8_t> ctx, std::span<const std::uint8_t> sig,
                                LevelIndex level) {
    if (pk.size() != pk_size(level)) return fail(bad_public_key());
    const Result<Mu> mu = prehash_mu(public_key_hash(pk), ph, digest, ctx);
    if (!mu) return fail(mu.error());
    return verify_mu(pk, *mu, sig, level);
}

Result<std::vector<std::uint8_t>> hash_sign(std::span<const std::uint8_t> sk, PreHash ph,
                                            std::span<const std::uint8_t> message, std::span<const std::uint8_t> ctx,
                                            std::span<const std::uint8_t, 32> rnd, LevelIndex level) {
    const Result<std::vector<std::uint8_t>> digest = prehash(ph, message);
    if (!digest) return fail(digest.error());
    return hash_sign_digest(sk, ph, *digest, ctx, rnd, level);
}

Result<bool> hash_verify(std::span<const std::uint8_t> pk, PreHash ph, std::span<const std::uint8_t> message,
                         std::span<const std::uint8_t> ctx, std::span<const std::uint8_t> sig, LevelIndex level) {
    const Result<std::vector<std::uint8_t>> digest = prehash(ph, message);
    if (!digest) return fail(digest.error());
    return hash_verify_digest(pk, ph, *digest, ctx, sig, level);
}

Result<std::vector<std::uint8_t>> sign_internal(std::span<const std::uint8_t> sk,
                                                std::span<const std::uint8_t> m_prime,
                                                std::span<const std::uint8_t, 32> rnd, LevelIndex level) {
    if (sk.size() != sk_size(level)) return fail(bad_private_key());
    return sign_mu(sk, internal_mu(private_key_tr(sk), m_prime), rnd, level);
}

Result<bool> verify_internal(std::span<const std::uint8_t> pk, std::span<const std::uint8_t> m_prime,
                             std::span<const std::uint8_t> sig, LevelIndex level) {
    if (pk.size() != pk_size(level)) return fail(bad_public_key());
    return verify_mu(pk, internal_mu(public_key_hash(pk), m_prime), sig, level);
}

}  // namespace velora::mldsa
