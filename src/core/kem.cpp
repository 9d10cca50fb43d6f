#include "core/kem.hpp"

#include "core/white_space.hpp"
#include "primitives/base64.hpp"

namespace velora::kem {

std::string public_key_to_b64(std::span<const std::uint8_t> public_key) {
    return primitives::base64_encode(public_key, primitives::Base64Alphabet::UrlSafeNoPad);
}

Result<std::vector<std::uint8_t>> public_key_from_b64(std::string_view text, mlkem::LevelIndex level) {
    std::string_view body = text::trim_white_space(text);
    while (!body.empty() && body.back() == '=') body.remove_suffix(1);
    auto decoded = primitives::base64_decode(body, primitives::Base64Alphabet::UrlSafeNoPad);
    if (!decoded) return fail(VeloraError::Base64("invalid base64 URL-safe string"));
    if (decoded->size() != mlkem::ek_size(level)) {
        return fail(VeloraError::InvalidParameter(
            "decoded public key has incorrect size for the specified security level"));
    }
    return std::move(*decoded);
}

}  // namespace velora::kem
