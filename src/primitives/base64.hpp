// RFC 4648 Base64: standard alphabet with padding, URL-safe alphabet without.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velora::primitives {

enum class Base64Alphabet {
    StandardPadded,  // A-Z a-z 0-9 + /, "=" padding required
    UrlSafeNoPad,    // A-Z a-z 0-9 - _, no padding allowed
};

std::string base64_encode(std::span<const std::uint8_t> data, Base64Alphabet alphabet);

// Canonical decoding only: characters outside the alphabet, misplaced or
// missing (or, for URL-safe, any) padding, an impossible length and non-zero
// trailing bits are all rejected.
std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text, Base64Alphabet alphabet);

}  // namespace velora::primitives
