// One-shot EVP digests, one fetched algorithm per call.
#include "primitives/digest.hpp"

#include <openssl/evp.h>

#include <memory>

#include "primitives/evp_detail.hpp"

namespace velora::primitives {

namespace {

const char* digest_name(Digest d) noexcept {
    switch (d) {
        case Digest::Sha224: return "SHA2-224";
        case Digest::Sha256: return "SHA2-256";
        case Digest::Sha384: return "SHA2-384";
        case Digest::Sha512: return "SHA2-512";
        case Digest::Sha512_224: return "SHA2-512/224";
        case Digest::Sha512_256: return "SHA2-512/256";
        case Digest::Sha3_224: return "SHA3-224";
        case Digest::Sha3_384: return "SHA3-384";
    }
    return "";
}

}  // namespace

bool digest(Digest d, std::span<const std::uint8_t> message, std::span<std::uint8_t> out) noexcept {
    if (out.size() != digest_size(d)) return false;
    std::unique_ptr<EVP_MD, evp::Deleter<EVP_MD, EVP_MD_free>> md(EVP_MD_fetch(nullptr, digest_name(d), nullptr));
    if (!md) return false;
    unsigned int written = 0;
    return EVP_Digest(evp::in(message), message.size(), out.data(), &written, md.get(), nullptr) == 1 &&
           written == out.size();
}

}  // namespace velora::primitives
