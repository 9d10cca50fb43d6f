// Public keys as URL-safe Base64 text (no padding).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/mlkem/params.hpp"

namespace velora::kem {

// Encodes any byte string; never fails, makes no size check.
std::string public_key_to_b64(std::span<const std::uint8_t> public_key);

// Trims Unicode white space, drops every trailing "=", decodes canonically and
// checks the size against the level. `text` is UTF-8.
Result<std::vector<std::uint8_t>> public_key_from_b64(std::string_view text, mlkem::LevelIndex level);

}  // namespace velora::kem
