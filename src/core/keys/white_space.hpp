// Unicode White_Space characters in UTF-8 text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velora::text {

// Length in bytes of the White_Space character that starts at text[pos], or 0
// when the character there is not white space. The set is the Unicode
// White_Space property: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
constexpr std::size_t white_space_length(std::string_view text, std::size_t pos) noexcept {
    const auto at = [&](std::size_t i) -> std::uint8_t {
        return pos + i < text.size() ? static_cast<std::uint8_t>(text[pos + i]) : 0;
    };
    const std::uint8_t b0 = at(0);
    if ((b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20) return 1;
    if (b0 == 0xC2) {
        const std::uint8_t b1 = at(1);
        return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;  // U+0085, U+00A0
    }
    if (b0 == 0xE1) return (at(1) == 0x9A && at(2) == 0x80) ? 3 : 0;  // U+1680
    if (b0 == 0xE2) {
        const std::uint8_t b1 = at(1);
        const std::uint8_t b2 = at(2);
        if (b1 == 0x80) {
            const bool spaces = b2 >= 0x80 && b2 <= 0x8A;                 // U+2000..U+200A
            const bool separators = b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF;  // U+2028, U+2029, U+202F
            return (spaces || separators) ? 3 : 0;
        }
        return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
    }
    if (b0 == 0xE3) return (at(1) == 0x80 && at(2) == 0x80) ? 3 : 0;  // U+3000
    return 0;
}

// The text without its leading and trailing White_Space characters.
constexpr std::string_view trim_white_space(std::string_view text) noexcept {
    std::size_t begin = 0;
    while (const std::size_t n = white_space_length(text, begin)) begin += n;
    std::size_t end = text.size();
    for (bool trimmed = true; trimmed && end > begin;) {
        trimmed = false;
        // A White_Space character is 1, 2 or 3 bytes long in UTF-8.
        for (std::size_t n = 1; n <= 3 && n <= end - begin; ++n) {
            if (white_space_length(text.substr(0, end), end - n) == n) {
                end -= n;
                trimmed = true;
                break;
            }
        }
    }
    return text.substr(begin, end - begin);
}

}  // namespace velora::text
