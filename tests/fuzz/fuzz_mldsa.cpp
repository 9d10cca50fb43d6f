// ML-DSA's parsers of untrusted bytes: the signature decoding of verification
// (hint encoding, z, lengths) and the expanded private key with its
// consistency check.
//
// Input: a level byte, a mode byte, then the data.
//   mode 0: a signature checked against the fixed key pair and message;
//   mode 1: a public key (pk_size bytes) and a signature, both from the input;
//   mode 2: an expanded private key, checked for consistency.
// Checks: verification answers without failing; a signature the fixed key
// accepts has the level's length; an expanded key is refused only with
// KeySerialization, and one accepted gives a public key whose signatures
// (deterministic, over the fixed message) verify.
#include <array>

#include "core/mldsa/mldsa.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;

namespace {

const mldsa::KeyPairBytes& fixed_mldsa_keys(mldsa::LevelIndex level) {
    static const std::array<mldsa::KeyPairBytes, 3> keys = [] {
        std::array<mldsa::KeyPairBytes, 3> k;
        for (mldsa::LevelIndex l = 0; l < 3; ++l) {
            std::array<std::uint8_t, 32> xi{};
            for (std::size_t i = 0; i < 32; ++i) xi[i] = static_cast<std::uint8_t>(0x44 + i + l);
            k[l] = mldsa::keygen(xi, l);
        }
        return k;
    }();
    return keys[level];
}

constexpr std::array<std::uint8_t, 5> kMessage = {'f', 'u', 'z', 'z', '!'};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const auto level = static_cast<mldsa::LevelIndex>(in.byte() % 3);
    const std::uint8_t mode = in.byte() % 3;
    const std::array<std::uint8_t, 32> zero{};
    if (mode == 0) {
        const ByteSpan sig = in.rest();
        const auto ok = mldsa::verify(fixed_mldsa_keys(level).pk, kMessage, {}, sig, level);
        FUZZ_CHECK(ok.has_value());
        if (*ok) FUZZ_CHECK(sig.size() == mldsa::sig_size(level));
    } else if (mode == 1) {
        const ByteSpan pk = in.take(mldsa::pk_size(level));
        const auto ok = mldsa::verify(pk, kMessage, {}, in.rest(), level);
        FUZZ_CHECK(ok.has_value() == (pk.size() == mldsa::pk_size(level)));
    } else {
        const ByteSpan sk = in.rest();
        const auto pk = mldsa::public_key_of_expanded(sk, level);
        if (!pk) {
            FUZZ_CHECK(pk.error().kind == VeloraError::Kind::KeySerialization);
            return 0;
        }
        FUZZ_CHECK(pk->size() == mldsa::pk_size(level));
        const auto sig = mldsa::sign(sk, kMessage, {}, zero, level);
        FUZZ_CHECK(sig.has_value());
        FUZZ_CHECK(mldsa::verify(*pk, kMessage, {}, *sig, level).value_or(false));
    }
    return 0;
}
