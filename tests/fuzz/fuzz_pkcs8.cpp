// PKCS#8 OneAsymmetricKey holding an ML-KEM key (key_formats::pkcs8_decode:
// libcrypto's decoder, the RFC 9935 rules, the CHOICE, the import checks).
//
// Checks: errors are KeySerialization, InvalidParameter or Rng only; an
// accepted key passes the FIPS 203 checks, and writing it again in the form
// its seed allows gives a PKCS#8 that reads back to the same key.
#include <algorithm>

#include "core/keys/fips203_checks.hpp"
#include "core/keys/key_formats.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto key = key_formats::pkcs8_decode(ByteSpan(data, size), true);
    if (!key) {
        const auto kind = key.error().kind;
        FUZZ_CHECK(kind == VeloraError::Kind::KeySerialization || kind == VeloraError::Kind::InvalidParameter);
        return 0;
    }
    FUZZ_CHECK(key->dk.size() == mlkem::dk_size(key->level));
    FUZZ_CHECK(fips203::dk_hash_check(key->dk.span(), key->level));
    const auto form = key->has_seed() ? mlkem_key::Form::Both : mlkem_key::Form::Expanded;
    auto der = key_formats::pkcs8_encode(*key, form);
    FUZZ_CHECK(der.has_value());
    auto back = key_formats::pkcs8_decode(der->span(), true);
    FUZZ_CHECK(back && back->level == key->level && std::ranges::equal(back->dk.span(), key->dk.span()));
    return 0;
}
