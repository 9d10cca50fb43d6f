// ML-KEM decapsulation with arbitrary capsules and decapsulation keys.
//
// Input: a level byte, a mode byte, then the capsule. In mode bit 0 set, the
// decapsulation key is taken from the input (ahead of the capsule, dk_size
// bytes) instead of the fixed key pair. Decapsulation fails only on sizes,
// the key first; with right sizes it always succeeds (implicit rejection)
// and is deterministic.
#include "core/mlkem/decaps.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const auto [level, dk] = level_and_key(in);
    const ByteSpan capsule = in.rest();

    auto k = mlkem::ml_kem_decaps(capsule, dk, level);
    if (dk.size() != mlkem::dk_size(level)) {
        FUZZ_CHECK(!k && k.error() == VeloraError::InvalidParameter("decapsulation key has incorrect size"));
    } else if (capsule.size() != mlkem::capsule_size(level)) {
        FUZZ_CHECK(!k && k.error() == VeloraError::InvalidParameter("capsule has incorrect size"));
    } else {
        FUZZ_CHECK(k.has_value());
        auto again = mlkem::ml_kem_decaps(capsule, dk, level);
        FUZZ_CHECK(again.has_value() && *again == *k);
    }
    return 0;
}
