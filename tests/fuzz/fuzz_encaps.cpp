// ML-KEM encapsulation with arbitrary encapsulation keys (ByteDecode_12 of
// unreduced coefficients, any rho).
//
// Input: a level byte, the 32-byte message m, then the key. A key of the
// level's size always encapsulates, deterministically; with the fixed key
// pair's own key, decapsulation recovers the shared secret.
#include <algorithm>

#include "core/mlkem/decaps.hpp"
#include "core/mlkem/encaps.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const LevelIndex level = level_from(in.byte());
    std::array<std::uint8_t, 32> m{};
    const ByteSpan m_in = in.take(32);
    std::copy(m_in.begin(), m_in.end(), m.begin());
    const ByteSpan ek = in.rest();

    auto enc = mlkem::ml_kem_encaps_deterministic(ek, m, level);
    if (ek.size() != mlkem::ek_size(level)) {
        FUZZ_CHECK(!enc && enc.error() ==
                               VeloraError::InvalidParameter("encryption key publica tiene tamano incorrecto"));
        return 0;
    }
    FUZZ_CHECK(enc.has_value());
    FUZZ_CHECK(enc->capsule.size() == mlkem::capsule_size(level));
    FUZZ_CHECK(enc->m == m);
    auto again = mlkem::ml_kem_encaps_deterministic(ek, m, level);
    FUZZ_CHECK(again && again->capsule == enc->capsule && again->shared_secret == enc->shared_secret);

    const auto& keys = fixed_keys(level);
    if (std::equal(ek.begin(), ek.end(), keys.ek.begin(), keys.ek.end())) {
        auto k = mlkem::ml_kem_decaps(enc->capsule, keys.dk, level);
        FUZZ_CHECK(k && *k == enc->shared_secret);
    }
    return 0;
}
