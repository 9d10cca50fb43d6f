// Encrypted PKCS#8 (key_formats::pkcs8_decrypt_and_decode: libcrypto's
// X509_SIG / PBES2 / scrypt / PBKDF2 parameter types, the cost limits, the
// key derivation, AES-256-CBC and the constant-time unpadding).
//
// Input: a password length byte n, n password bytes, then the DER. The
// limits are lowered so that one input costs milliseconds. Checks: errors are
// KeySerialization, Decryption or InvalidParameter only; an accepted key has
// its level's sizes and passes the hash check.
#include "core/keys/fips203_checks.hpp"
#include "core/keys/key_formats.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const ByteSpan password = in.take(in.byte());
    key_formats::ReadLimits limits;
    limits.max_scrypt_memory = 1 << 20;
    limits.max_scrypt_work = 1 << 10;
    limits.max_pbkdf2_iterations = 1000;
    auto key = key_formats::pkcs8_decrypt_and_decode(in.rest(), password, limits, true);
    if (!key) {
        const auto kind = key.error().kind;
        FUZZ_CHECK(kind == VeloraError::Kind::KeySerialization || kind == VeloraError::Kind::Decryption ||
                   kind == VeloraError::Kind::InvalidParameter);
        return 0;
    }
    FUZZ_CHECK(key->dk.size() == mlkem::dk_size(key->level));
    FUZZ_CHECK(fips203::dk_hash_check(key->dk.span(), key->level));
    return 0;
}
