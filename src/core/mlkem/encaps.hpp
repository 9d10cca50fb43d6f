// ML-KEM encapsulation (FIPS 203 Algorithms 14 and 17).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/mlkem/math/poly.hpp"
#include "core/mlkem/params.hpp"
#include "core/mlkem/sampling.hpp"
#include "platform/error.hpp"

namespace velora::mlkem {

struct EncapsulationResult {
    std::vector<std::uint8_t> capsule;               // capsule_size(level) bytes
    std::array<std::uint8_t, 32> shared_secret{};    // K
};

struct DeterministicEncapsulationResult {
    std::vector<std::uint8_t> capsule;
    std::array<std::uint8_t, 32> shared_secret{};
    std::array<std::uint8_t, 32> m{};                // copy of the caller's message
};

// K-PKE.Encrypt (Algorithm 14) in steps, so that the caller can run its own
// hashes in the same multi-lane batches as the sampling (H(ek) beside the
// matrix in encapsulation, J(z || c) beside everything in decapsulation):
//
//   KPkeEncryption e(ek, params);       // t-hat and rho from ek
//   e.sample_matrix(batch);             // then batch.run(), in any grouping
//   e.sample_noise(batch, r);           //   with the noise
//   e.finish(m, c);                     // after the runs
//
// ek must hold at least 384*k + 32 bytes; nothing can fail. The polynomials
// live in the object (on the caller's stack), sized for the largest rank, and
// are wiped when it goes.
class KPkeEncryption {
public:
    KPkeEncryption(std::span<const std::uint8_t> ek, const MlKemParams& params) noexcept;
    KPkeEncryption(const KPkeEncryption&) = delete;
    KPkeEncryption& operator=(const KPkeEncryption&) = delete;
    ~KPkeEncryption();

    // A-hat[i][j] <- SampleNTT(rho || j || i), stored transposed.
    void sample_matrix(SamplingBatch& batch);
    // y[i], e1[i] and e2 from r with the nonces 0 .. 2k.
    void sample_noise(SamplingBatch& batch, std::span<const std::uint8_t, 32> r);
    // The products, compression and encoding into c (32 * (du * k + dv) bytes).
    void finish(std::span<const std::uint8_t, 32> m, std::span<std::uint8_t> c) noexcept;

private:
    const MlKemParams params_;
    std::span<const std::uint8_t, 32> rho_;
    // The k + 1 rows that multiply y-hat: the k columns of A-hat, then t-hat.
    PolyScratch<(kMaxRank + 1) * kMaxRank> rows_;
    PolyScratch<kMaxRank> y_, e1_;
    Poly e2_;
};

// Size check ("encryption key has incorrect size"), then m from the random source.
Result<EncapsulationResult> ml_kem_encaps(std::span<const std::uint8_t> ek, LevelIndex level);

// Size check ("encryption key publica tiene tamano incorrecto"), then the caller's m.
Result<DeterministicEncapsulationResult> ml_kem_encaps_deterministic(std::span<const std::uint8_t> ek,
                                                                     std::span<const std::uint8_t, 32> m,
                                                                     LevelIndex level);

}  // namespace velora::mlkem
