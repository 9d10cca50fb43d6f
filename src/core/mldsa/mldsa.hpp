// The interfaces of ML-DSA over the internal algorithms: pure ML-DSA with a
// context string (FIPS 204 Algorithms 2 and 3), HashML-DSA (Algorithms 4
// and 5), the internal interface on a formatted message M' and the
// external-mu interface (sign_mu / verify_mu in sign.hpp and verify.hpp,
// with mu computed here).
//
// Signing takes rnd explicitly: 32 fresh random bytes for the default
// hedged variant (draw_rnd), 32 zero bytes for the deterministic one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/error.hpp"
#include "core/mldsa/keygen.hpp"
#include "core/mldsa/params.hpp"
#include "core/mldsa/sign.hpp"
#include "core/mldsa/verify.hpp"

namespace velora::mldsa {

using Mu = std::array<std::uint8_t, kMuBytes>;

// The pre-hash functions of HashML-DSA (FIPS 204 section 5.4).
enum class PreHash : std::uint8_t {
    Sha224, Sha256, Sha384, Sha512, Sha512_224, Sha512_256,
    Sha3_224, Sha3_256, Sha3_384, Sha3_512, Shake128, Shake256,
};

// The DER encoding of the function's object identifier (11 bytes), as it
// enters M'.
std::span<const std::uint8_t> prehash_oid(PreHash ph) noexcept;

// The digest length: the function's own, 32 bytes for SHAKE128 and 64 for
// SHAKE256.
std::size_t prehash_size(PreHash ph) noexcept;

// The digest PH(message). Fails with InvalidParameter when libcrypto cannot
// provide the function.
Result<std::vector<std::uint8_t>> prehash(PreHash ph, std::span<const std::uint8_t> message);

// The level whose public key (or private key, or signature) has this length.
Result<LevelIndex> level_of_public_key_size(std::size_t size) noexcept;
Result<LevelIndex> level_of_private_key_size(std::size_t size) noexcept;

// 32 bytes from the random source for hedged signing. False when the source
// is unavailable.
[[nodiscard]] bool draw_rnd(std::span<std::uint8_t, 32> rnd) noexcept;

// tr = H(pk, 64).
std::array<std::uint8_t, kTrBytes> public_key_hash(std::span<const std::uint8_t> pk);

// mu = H(tr || M', 64) for M' = 0 || |ctx| || ctx || message (pure ML-DSA).
// Fails with InvalidParameter when ctx is longer than 255 bytes.
Result<Mu> pure_mu(std::span<const std::uint8_t, kTrBytes> tr, std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t> ctx);

// mu for HashML-DSA: M' = 1 || |ctx| || ctx || OID(ph) || digest, where digest
// must be prehash_size(ph) bytes.
Result<Mu> prehash_mu(std::span<const std::uint8_t, kTrBytes> tr, PreHash ph, std::span<const std::uint8_t> digest,
                      std::span<const std::uint8_t> ctx);

// mu = H(tr || M', 64) for a formatted message M' (the internal interface).
Mu internal_mu(std::span<const std::uint8_t, kTrBytes> tr, std::span<const std::uint8_t> m_prime);

// The tr stored in a private key (bytes 64 to 127). sk must be at least 128 bytes.
std::span<const std::uint8_t, kTrBytes> private_key_tr(std::span<const std::uint8_t> sk) noexcept;

// ML-DSA.Sign (Algorithm 2) with rnd given.
Result<std::vector<std::uint8_t>> sign(std::span<const std::uint8_t> sk, std::span<const std::uint8_t> message,
                                       std::span<const std::uint8_t> ctx, std::span<const std::uint8_t, 32> rnd,
                                       LevelIndex level);

// ML-DSA.Verify (Algorithm 3). Fails only for a public key of the wrong
// length or a context over 255 bytes; a bad signature is false.
Result<bool> verify(std::span<const std::uint8_t> pk, std::span<const std::uint8_t> message,
                    std::span<const std::uint8_t> ctx, std::span<const std::uint8_t> sig, LevelIndex level);

// HashML-DSA.Sign / Verify (Algorithms 4 and 5) over a digest already
// computed with ph (prehash_size(ph) bytes) ...
Result<std::vector<std::uint8_t>> hash_sign_digest(std::span<const std::uint8_t> sk, PreHash ph,
                                                   std::span<const std::uint8_t> digest,
                                                   std::span<const std::uint8_t> ctx,
                                                   std::span<const std::uint8_t, 32> rnd, LevelIndex level);
Result<bool> hash_verify_digest(std::span<const std::uint8_t> pk, PreHash ph, std::span<const std::uint8_t> digest,
                                std::span<const std::uint8_t> ctx, std::span<const std::uint8_t> sig,
                                LevelIndex level);

// ... and over the message.
Result<std::vector<std::uint8_t>> hash_sign(std::span<const std::uint8_t> sk, PreHash ph,
                                            std::span<const std::uint8_t> message, std::span<const std::uint8_t> ctx,
                                            std::span<const std::uint8_t, 32> rnd, LevelIndex level);
Result<bool> hash_verify(std::span<const std::uint8_t> pk, PreHash ph, std::span<const std::uint8_t> message,
                         std::span<const std::uint8_t> ctx, std::span<const std::uint8_t> sig, LevelIndex level);

// The internal interface on M' (Algorithms 7 and 8 as written).
Result<std::vector<std::uint8_t>> sign_internal(std::span<const std::uint8_t> sk,
                                                std::span<const std::uint8_t> m_prime,
                                                std::span<const std::uint8_t, 32> rnd, LevelIndex level);
Result<bool> verify_internal(std::span<const std::uint8_t> pk, std::span<const std::uint8_t> m_prime,
                             std::span<const std::uint8_t> sig, LevelIndex level);

}  // namespace velora::mldsa
