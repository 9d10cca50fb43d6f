#include "core/keys/fips203_checks.hpp"

#include <array>

#include "core/mlkem/decaps.hpp"
#include "core/mlkem/encaps.hpp"
#include "core/mlkem/keygen.hpp"
#include "core/mlkem/math/compress.hpp"
#include "core/mlkem/math/poly.hpp"
#include "platform/ct.hpp"
#include "platform/wipe.hpp"
#include "primitives/sha3.hpp"

namespace velora::fips203 {

bool ek_modulus_check(std::span<const std::uint8_t> ek, mlkem::LevelIndex level) {
    if (level > 2 || ek.size() != mlkem::ek_size(level)) return false;
    const std::size_t k = mlkem::params_for(level).k;
    // Lines 2 and 3 of the check: test = ByteEncode_12(ByteDecode_12(ek[0:384k])).
    mlkem::PolyScratch<mlkem::kMaxRank> scratch;
    const std::span<mlkem::Poly> t_hat = scratch.first(k);
    mlkem::polys_from_bytes(ek, t_hat);
    std::array<std::uint8_t, mlkem::kPolyBytes * mlkem::kMaxRank> test{};
    const std::span<std::uint8_t> encoded = std::span(test).first(mlkem::kPolyBytes * k);
    mlkem::polys_to_bytes(t_hat, encoded);
    return ct::equal(encoded, ek.first(mlkem::kPolyBytes * k)) == 1;
}

bool dk_hash_check(std::span<const std::uint8_t> dk, mlkem::LevelIndex level) {
    if (level > 2 || dk.size() != mlkem::dk_size(level)) return false;
    const DkLayout at = dk_layout(level);
    std::array<std::uint8_t, 32> h{};
    primitives::sha3_256({ek_of_dk(dk, level)}, h);
    return ct::equal(h, dk.subspan(at.hash_offset, 32)) == 1;
}

Result<bool> pairwise_consistency_check(std::span<const std::uint8_t> dk, mlkem::LevelIndex level) {
    if (level > 2 || dk.size() != mlkem::dk_size(level)) return false;
    auto enc = mlkem::ml_kem_encaps(ek_of_dk(dk, level), level);
    if (!enc) return fail(enc.error());
    WipeOnExit wipe_k(enc->shared_secret);
    auto k = mlkem::ml_kem_decaps(enc->capsule, dk, level);
    if (!k) return fail(k.error());
    WipeOnExit wipe_k_prime(*k);
    std::uint8_t same = ct::equal(enc->shared_secret, *k);
    ct::declassify(&same, 1);  // the verdict decides whether the key is accepted: public
    return same == 1;
}

bool seed_consistency_check(std::span<const std::uint8_t, 64> seed, std::span<const std::uint8_t> dk,
                            mlkem::LevelIndex level) {
    if (level > 2 || dk.size() != mlkem::dk_size(level)) return false;
    auto pair = mlkem::ml_kem_keygen(seed.first<32>(), seed.last<32>(), level);
    std::uint8_t same = ct::equal(pair.dk, dk);
    secure_wipe(pair.dk.data(), pair.dk.size());
    ct::declassify(&same, 1);  // accept or reject the key: public
    return same == 1;
}

}  // namespace velora::fips203
