// PEM-like text armour: a header line, a Base64 body in 64-character lines,
// a footer line. Shared by the public-key and encrypted secret-key forms.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/error.hpp"

namespace velora::pem {

inline constexpr std::size_t kLineChars = 64;

// Inserts a line feed before every character whose position (from 0) is a
// positive multiple of 64. No line feed at the end; "" stays "".
std::string wrap_pem_lines(std::string_view text);

// The text strictly between the end of the first `header` and the start of
// the first `footer` after it (a view into `text`).
// KeySerialization "PEM header not found" / "PEM footer not found".
Result<std::string_view> extract_pem_body(std::string_view text, std::string_view header, std::string_view footer);

// `text` with every Unicode White_Space character removed wherever it stands.
std::string unwrap_pem_body(std::string_view text);

// header LF wrap_pem_lines(body) LF footer LF.
std::string armour(std::string_view header, std::string_view body, std::string_view footer);

}  // namespace velora::pem
