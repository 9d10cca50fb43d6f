// SubjectPublicKeyInfo (key_formats::spki_decode over libcrypto's X509_PUBKEY).
//
// Checks: only KeySerialization errors (InvalidParameter cannot occur: the
// size is checked against the OID's level); an accepted key has its level's
// size, passes the modulus check, and re-encodes to exactly the input.
#include <algorithm>

#include "core/keys/fips203_checks.hpp"
#include "core/keys/key_formats.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteSpan der(data, size);
    auto key = key_formats::spki_decode(der, true);
    if (!key) {
        FUZZ_CHECK(key.error().kind == VeloraError::Kind::KeySerialization);
        return 0;
    }
    FUZZ_CHECK(key->ek.size() == mlkem::ek_size(key->level));
    FUZZ_CHECK(fips203::ek_modulus_check(key->ek, key->level));
    FUZZ_CHECK(std::ranges::equal(key_formats::spki_encode(key->ek, key->level), der));
    return 0;
}
