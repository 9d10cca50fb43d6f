// The ML-KEM private-key CHOICE inside PKCS#8 (mlkem_key::decode).
//
// Input: a level byte, then the CHOICE. Checks: only KeySerialization
// errors; a decoded key has the level's sizes, and encoding its parts in its
// form gives back exactly the input (DER is canonical).
#include <algorithm>

#include "core/keys/mlkem_private_key.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const LevelIndex level = level_from(in.byte());
    const ByteSpan der = in.rest();
    auto decoded = mlkem_key::decode(der, level);
    if (!decoded) {
        FUZZ_CHECK(decoded.error().kind == VeloraError::Kind::KeySerialization);
        return 0;
    }
    const bool has_seed = decoded->form != mlkem_key::Form::Expanded;
    const bool has_dk = decoded->form != mlkem_key::Form::Seed;
    FUZZ_CHECK(decoded->seed.size() == (has_seed ? 64u : 0u));
    FUZZ_CHECK(decoded->dk.size() == (has_dk ? mlkem::dk_size(level) : 0u));
    const auto again = mlkem_key::encode(decoded->form, decoded->seed, decoded->dk, level);
    FUZZ_CHECK(std::ranges::equal(again.span(), der));
    return 0;
}
