// X.509 SubjectPublicKeyInfo and PKCS#8 OneAsymmetricKey (RFC 5280, RFC 5958)
// through libcrypto's ASN.1 types, for algorithms libcrypto itself need not
// know: the algorithm is named by its OID in dotted text.
//
// Reading is strict DER. libcrypto's decoder also takes BER (indefinite and
// non-minimal lengths, seen with OpenSSL 3.0), so every structure read here
// must also re-encode to exactly its input, must fill the input exactly, and
// fails with a KeySerialization error that names the structure and what is
// wrong with it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"
#include "platform/secret_buffer.hpp"

namespace velora::primitives::pkix {


// The messages of the DER checks common to every structure read here.
struct DerMessages {
    std::string_view empty;      // no input at all
    std::string_view truncated;  // the outer length runs past the input
    std::string_view trailing;   // bytes after the outer structure
    std::string_view malformed;  // libcrypto cannot decode it as this structure
    std::string_view not_der;    // decodes, but is not the DER encoding (BER, non-minimal)
};

// Checks the outer TLV of `der` (with libcrypto's ASN1_get_object): not
// empty, a definite length, not truncated, no trailing data.
Result<void> check_outer_tlv(std::span<const std::uint8_t> der, const DerMessages& m);

// ---- SubjectPublicKeyInfo ---------------------------------------------------

// SEQUENCE { AlgorithmIdentifier { oid } (parameters absent), BIT STRING key }.
std::vector<std::uint8_t> encode_spki(std::string_view oid, std::span<const std::uint8_t> key);

struct Spki {
    std::string oid;             // dotted text
    bool has_parameters = false;
    int unused_bits = 0;         // of the BIT STRING
    std::vector<std::uint8_t> key;
};
Result<Spki> decode_spki(std::span<const std::uint8_t> der);

// ---- OneAsymmetricKey (PKCS#8 PrivateKeyInfo) ---------------------------------

// version 0 (v1), AlgorithmIdentifier { oid } (parameters absent), the
// privateKey OCTET STRING; no attributes, no publicKey.
SecretBuffer encode_private_key_info(std::string_view oid, std::span<const std::uint8_t> private_key);

struct PrivateKeyInfo {
    long version = -1;           // 0 = v1, 1 = v2; -1 when it does not fit a long
    std::string oid;
    bool has_parameters = false;
    bool has_attributes = false;
    SecretBuffer private_key;    // the contents of the privateKey OCTET STRING
    std::optional<std::vector<std::uint8_t>> public_key;  // [1] publicKey, if present
    int public_key_unused_bits = 0;
};
// libcrypto's copy of the privateKey contents is cleansed before it is freed.
Result<PrivateKeyInfo> decode_private_key_info(std::span<const std::uint8_t> der);

}  // namespace velora::primitives::pkix
