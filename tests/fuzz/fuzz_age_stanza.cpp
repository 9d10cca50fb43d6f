// The age stanza unwrappers (X25519, mlkem768x25519, scrypt) on arbitrary
// arguments and bodies, with fixed identities and passphrase.
//
// Input: a type byte (% 3: X25519, hybrid, scrypt; for scrypt the work
// factor is 1 + byte / 3 % 4, kept small), an argument length byte (the
// argument is that many bytes, or 1120 for the hybrid when the byte is
// 255), then the argument and the body. Checked: the size error exactly for
// wrong sizes; otherwise a file key only when the stanza authenticates, and
// then it is the file key the seeds wrapped (a forged stanza cannot open).
#include "age_common.hpp"
#include "core/age/age.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::uint8_t type_byte = in.byte();
    const std::uint8_t type = type_byte % 3;
    const std::uint8_t len_byte = in.byte();
    const std::size_t arg_len = (type == 1 && len_byte == 255) ? age::kHybridEncBytes : len_byte;
    const ByteSpan argument = in.take(arg_len);
    const ByteSpan body = in.rest();

    Result<age::Unwrapped> r = fail(VeloraError::InvalidParameter(""));
    std::size_t expected_arg = 0;
    if (type == 0) {
        r = age::unwrap_x25519(kX25519Identity, argument, body);
        expected_arg = age::kX25519Bytes;
    } else if (type == 1) {
        r = age::unwrap_hybrid(kHybridIdentity, argument, body);
        expected_arg = age::kHybridEncBytes;
    } else {
        r = age::unwrap_scrypt(kPassphrase, argument, 1 + (type_byte / 3) % 4, body);
        expected_arg = age::kScryptSaltBytes;
    }
    if (argument.size() != expected_arg || body.size() != age::kBodyBytes) {
        FUZZ_CHECK(!r && r.error() == VeloraError::InvalidParameter(age::kStanzaSize));
        return 0;
    }
    if (!r) {
        // Only an all-zero X25519 result is refused (a point of small order).
        FUZZ_CHECK(type != 2);
        FUZZ_CHECK(r.error() == VeloraError::Decapsulation(type == 0 ? age::kX25519ZeroSecret
                                                                      : age::kHybridZeroSecret));
        return 0;
    }
    if (r->matched) FUZZ_CHECK(r->file_key == kFileKey);
    return 0;
}
