// HPKE single-shot open and receive-export (and through them X-Wing, ML-KEM
// and DHKEM decapsulation) on arbitrary encapsulated keys and ciphertexts,
// with a fixed private key per KEM.
//
// Input: a suite byte (every KEM x KDF x sealing AEAD), an info length byte,
// an aad length byte, then info, aad, enc (the KEM's size, or fewer where the
// input ends) and the ciphertext. Checked: only the documented errors; a
// plaintext exactly 16 bytes shorter than the ciphertext; open and export
// agree on whether decapsulation works.
#include "age_common.hpp"
#include "core/xwing/xwing.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const hpke::Suite suite = hpke_suite_from(in.byte());
    const std::size_t info_len = in.byte();
    const std::size_t aad_len = in.byte();
    const ByteSpan info = in.take(info_len);
    const ByteSpan aad = in.take(aad_len);
    const std::size_t n_enc = hpke::kem_sizes(static_cast<std::uint16_t>(suite.kem))->n_enc;
    const ByteSpan enc = in.take(n_enc);
    const ByteSpan ct = in.rest();
    const hpke::KeyPair& keys = hpke_keys(suite.kem);

    auto opened = hpke::open(suite, keys.private_key, enc, info, aad, ct);
    auto exported = hpke::receive_export(suite, keys.private_key, enc, info, aad, 32);
    if (enc.size() != n_enc) {
        FUZZ_CHECK(!exported && exported.error() == VeloraError::InvalidParameter(hpke::kEncSize));
    }
    if (opened) {
        FUZZ_CHECK(opened->size() + 16 == ct.size());
        FUZZ_CHECK(exported.has_value());
        return 0;
    }
    const VeloraError e = opened.error();
    FUZZ_CHECK(is_one_of(e, {VeloraError::Decryption(), VeloraError::InvalidParameter(hpke::kEncSize),
                             VeloraError::InvalidParameter(hpke::kCiphertextShort),
                             VeloraError::Decapsulation(hpke::kDecapError),
                             VeloraError::Decapsulation(xwing::kX25519Zero)}));
    if (e == VeloraError::Decryption()) FUZZ_CHECK(exported.has_value());
    return 0;
}
