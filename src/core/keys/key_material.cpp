#include "core/keys/key_material.hpp"

#include <algorithm>
#include <array>

#include "core/keys/fips203_checks.hpp"
#include "core/mlkem/keygen.hpp"
#include "platform/ct.hpp"
#include "platform/random.hpp"
#include "platform/wipe.hpp"

namespace velora::keys {

namespace {

using Messages = std::array<std::string_view, 3>;

constexpr Messages kDkSize = {
    "an ML-KEM-512 private key is 1632 bytes",
    "an ML-KEM-768 private key is 2400 bytes",
    "an ML-KEM-1024 private key is 3168 bytes",
};
constexpr Messages kEkSize = {
    "an ML-KEM-512 public key is 800 bytes",
    "an ML-KEM-768 public key is 1184 bytes",
    "an ML-KEM-1024 public key is 1568 bytes",
};
constexpr Messages kModulus = {
    "ML-KEM-512 public key fails the FIPS 203 modulus check (a coefficient is not reduced modulo q = 3329)",
    "ML-KEM-768 public key fails the FIPS 203 modulus check (a coefficient is not reduced modulo q = 3329)",
    "ML-KEM-1024 public key fails the FIPS 203 modulus check (a coefficient is not reduced modulo q = 3329)",
};
constexpr Messages kDkModulus = {
    "ML-KEM-512 private key fails the FIPS 203 modulus check of the public key inside it",
    "ML-KEM-768 private key fails the FIPS 203 modulus check of the public key inside it",
    "ML-KEM-1024 private key fails the FIPS 203 modulus check of the public key inside it",
};
constexpr Messages kHash = {
    "ML-KEM-512 private key fails the FIPS 203 hash check (the H(ek) it stores does not match its public key)",
    "ML-KEM-768 private key fails the FIPS 203 hash check (the H(ek) it stores does not match its public key)",
    "ML-KEM-1024 private key fails the FIPS 203 hash check (the H(ek) it stores does not match its public key)",
};
constexpr Messages kPairwise = {
    "ML-KEM-512 private key fails the pairwise consistency check (its secret part does not match its public key)",
    "ML-KEM-768 private key fails the pairwise consistency check (its secret part does not match its public key)",
    "ML-KEM-1024 private key fails the pairwise consistency check (its secret part does not match its public key)",
};
constexpr Messages kSeedMismatch = {
    "ML-KEM-512 private key: the seed and the expandedKey do not match (the seed does not regenerate the key)",
    "ML-KEM-768 private key: the seed and the expandedKey do not match (the seed does not regenerate the key)",
    "ML-KEM-1024 private key: the seed and the expandedKey do not match (the seed does not regenerate the key)",
};

}  // namespace

SecretBuffer copy_secret(std::span<const std::uint8_t> bytes) {
    SecretBuffer b(bytes.size());
    std::ranges::copy(bytes, b.data());
    return b;
}

std::span<const std::uint8_t> PrivateKeyMaterial::ek() const noexcept {
    return fips203::ek_of_dk(dk.span(), level);
}

Result<PrivateKeyMaterial> from_seed(std::span<const std::uint8_t> seed, mlkem::LevelIndex level) {
    if (seed.size() != kSeedBytes) {
        return fail(VeloraError::InvalidParameter("an ML-KEM seed (d || z) is 64 bytes"));
    }
    PrivateKeyMaterial out;
    out.level = level;
    out.seed = copy_secret(seed);
    auto pair = mlkem::ml_kem_keygen(seed.first<32>(), seed.subspan<32, 32>(), level);
    out.dk = copy_secret(pair.dk);
    secure_wipe(pair.dk.data(), pair.dk.size());
    return out;
}

Result<PrivateKeyMaterial> generate(mlkem::LevelIndex level) {
    SecretBytes<kSeedBytes> seed;
    if (!platform::fill_random(seed.span())) return fail(VeloraError::Rng());
    ct::mark_secret(seed.span());
    return from_seed(seed.span(), level);
}

Result<PrivateKeyMaterial> from_expanded(std::span<const std::uint8_t> dk, mlkem::LevelIndex level, bool check) {
    if (dk.size() != mlkem::dk_size(level)) return fail(VeloraError::InvalidParameter(kDkSize[level]));
    // The ek and H(ek) inside dk are the public key and its hash: public
    // facts, declassified for the constant-time checker (the checks below
    // branch on their verdicts, and encapsulation samples from rho).
    const fips203::DkLayout at = fips203::dk_layout(level);
    ct::declassify(dk.data() + at.ek_offset, at.z_offset - at.ek_offset);
    if (check) {
        if (!fips203::ek_modulus_check(fips203::ek_of_dk(dk, level), level)) {
            return fail(VeloraError::KeySerialization(kDkModulus[level]));
        }
        if (!fips203::dk_hash_check(dk, level)) return fail(VeloraError::KeySerialization(kHash[level]));
        auto pairwise = fips203::pairwise_consistency_check(dk, level);
        if (!pairwise) return fail(pairwise.error());
        if (!*pairwise) return fail(VeloraError::KeySerialization(kPairwise[level]));
    }
    PrivateKeyMaterial out;
    out.level = level;
    out.dk = copy_secret(dk);
    return out;
}

Result<PrivateKeyMaterial> from_seed_and_expanded(std::span<const std::uint8_t> seed,
                                                  std::span<const std::uint8_t> dk, mlkem::LevelIndex level) {
    if (seed.size() != kSeedBytes) {
        return fail(VeloraError::InvalidParameter("an ML-KEM seed (d || z) is 64 bytes"));
    }
    if (dk.size() != mlkem::dk_size(level)) return fail(VeloraError::InvalidParameter(kDkSize[level]));
    if (!fips203::seed_consistency_check(seed.first<kSeedBytes>(), dk, level)) {
        return fail(VeloraError::KeySerialization(kSeedMismatch[level]));
    }
    PrivateKeyMaterial out;
    out.level = level;
    out.seed = copy_secret(seed);
    out.dk = copy_secret(dk);
    return out;
}

Result<void> check_public_key(std::span<const std::uint8_t> ek, mlkem::LevelIndex level) {
    if (ek.size() != mlkem::ek_size(level)) return fail(VeloraError::InvalidParameter(kEkSize[level]));
    if (!fips203::ek_modulus_check(ek, level)) return fail(VeloraError::KeySerialization(kModulus[level]));
    return {};
}

}  // namespace velora::keys
