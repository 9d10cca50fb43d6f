// The input checks of FIPS 203 section 7 and the key-consistency checks of
// key import (RFC 9935 section 8), each a function of its own.
//
// The raw KEM functions make none of them (they check lengths only); the key
// objects of the package run them whenever a key is imported.
#pragma once

#include <cstdint>
#include <span>

#include "core/mlkem/params.hpp"
#include "platform/error.hpp"

namespace velora::fips203 {

// Section 7.2, encapsulation key check 2 (modulus check): the key has the
// level's size and ByteEncode_12(ByteDecode_12(ek[0 : 384k])) == ek[0 : 384k],
// i.e. every 12-bit field of t-hat is below q. The key is public.
[[nodiscard]] bool ek_modulus_check(std::span<const std::uint8_t> ek, mlkem::LevelIndex level);

// Section 7.3, decapsulation key check 3 (hash check): the key has the
// level's size and H(dk[384k : 768k + 32]) == dk[768k + 32 : 768k + 64]. Both
// sides of the comparison are derived from the public key; the comparison is
// constant-time all the same.
[[nodiscard]] bool dk_hash_check(std::span<const std::uint8_t> dk, mlkem::LevelIndex level);

// Pairwise consistency (FIPS 203 section 7.1, as used on import): one
// encapsulation to the ek inside dk with a fresh random message, then a
// decapsulation with dk; true when both give the same shared secret. Catches a
// dk_pke that does not belong to its ek (which the hash check cannot see).
// Rng when the random source fails. dk must have the level's size.
[[nodiscard]] Result<bool> pairwise_consistency_check(std::span<const std::uint8_t> dk, mlkem::LevelIndex level);

// RFC 9935 section 8 seed consistency: ML-KEM.KeyGen_internal(seed[0:32],
// seed[32:64]) regenerates exactly `dk`. Constant-time in the seed and dk.
[[nodiscard]] bool seed_consistency_check(std::span<const std::uint8_t, 64> seed, std::span<const std::uint8_t> dk,
                                          mlkem::LevelIndex level);

// Where the parts of a decapsulation key sit (FIPS 203 Algorithm 16:
// dk = dk_pke || ek || H(ek) || z).
struct DkLayout {
    std::size_t ek_offset;    // 384k
    std::size_t hash_offset;  // 768k + 32
    std::size_t z_offset;     // 768k + 64
};
constexpr DkLayout dk_layout(mlkem::LevelIndex level) noexcept {
    const std::size_t k = mlkem::params_for(level).k;
    return {384 * k, 768 * k + 32, 768 * k + 64};
}

// The encapsulation key inside a decapsulation key of the level's size.
inline std::span<const std::uint8_t> ek_of_dk(std::span<const std::uint8_t> dk, mlkem::LevelIndex level) noexcept {
    return dk.subspan(dk_layout(level).ek_offset, mlkem::ek_size(level));
}

}  // namespace velora::fips203
