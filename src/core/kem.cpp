#include "core/kem.hpp"

#include "primitives/base64.hpp"

namespace velora::kem {

namespace {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::size_t utf8_sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    return 4;
}

char32_t decode_at(std::string_view s, std::size_t pos, std::size_t len) {
    const auto b = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(s[pos + i])); };
    switch (len) {
        case 1: return b(0);
        case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
        case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        default: return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    }
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view s) {
    // Leading characters.
    std::size_t begin = 0;
    while (begin < s.size()) {
        const std::size_t len = utf8_sequence_length(static_cast<unsigned char>(s[begin]));
        if (begin + len > s.size() || !is_white_space(decode_at(s, begin, len))) break;
        begin += len;
    }
    // Trailing characters: step back over continuation bytes to the lead byte.
    std::size_t end = s.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        const std::size_t len = end - start;
        if (len != utf8_sequence_length(static_cast<unsigned char>(s[start])) ||
            !is_white_space(decode_at(s, start, len))) {
            break;
        }
        end = start;
    }
    return s.substr(begin, end - begin);
}

std::string public_key_to_b64(std::span<const std::uint8_t> public_key) {
    return primitives::base64_encode(public_key, primitives::Base64Alphabet::UrlSafeNoPad);
}

Result<std::vector<std::uint8_t>> public_key_from_b64(std::string_view text, mlkem::LevelIndex level) {
    std::string_view body = trim_unicode_whitespace(text);
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
