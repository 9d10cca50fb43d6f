// RFC 4648 Base64 over libcrypto's EVP_EncodeBlock / EVP_DecodeBlock.
//
// libcrypto knows only the standard alphabet and its decoder is lenient (it
// skips surrounding white space, reads "=" as zero bits anywhere and ignores
// trailing bits), so the text is checked completely here first and then
// translated: only canonical encodings reach EVP_DecodeBlock. Base64 here
// carries public keys and ciphertexts, so table lookups on the text are fine.
#include "primitives/base64.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstddef>

namespace velora::primitives {
namespace {

constexpr std::uint8_t kInvalid = 0xFF;

// Symbol values of one alphabet; every other byte, "=" included, is kInvalid.
constexpr std::array<std::uint8_t, 256> symbol_table(char c62, char c63) {
    std::array<std::uint8_t, 256> t{};
    t.fill(kInvalid);
    for (int i = 0; i < 26; ++i) {
        t['A' + i] = static_cast<std::uint8_t>(i);
        t['a' + i] = static_cast<std::uint8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<std::uint8_t>(52 + i);
    t[static_cast<unsigned char>(c62)] = 62;
    t[static_cast<unsigned char>(c63)] = 63;
    return t;
}
constexpr auto kStandard = symbol_table('+', '/');
constexpr auto kUrlSafe = symbol_table('-', '_');

// Pieces handed to libcrypto at a time (its lengths are int): whole groups.
constexpr std::size_t kEncodePiece = std::size_t{3} << 24;  // bytes in
constexpr std::size_t kDecodePiece = std::size_t{4} << 24;  // characters in

char to_url_safe(char c) { return c == '+' ? '-' : c == '/' ? '_' : c; }
char to_standard(char c) { return c == '-' ? '+' : c == '_' ? '/' : c; }

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> data, Base64Alphabet alphabet) {
    const std::size_t padded = (data.size() + 2) / 3 * 4;
    std::string out(padded + 1, '\0');  // EVP_EncodeBlock writes a terminating NUL
    auto* dst = reinterpret_cast<unsigned char*>(out.data());
    for (std::size_t in = 0; in < data.size();) {
        const std::size_t n = std::min(data.size() - in, kEncodePiece);
        dst += EVP_EncodeBlock(dst, data.data() + in, static_cast<int>(n));
        in += n;
    }
    out.resize(padded);
    if (alphabet == Base64Alphabet::UrlSafeNoPad) {
        std::ranges::transform(out, out.begin(), to_url_safe);
        out.resize(data.size() / 3 * 4 + (data.size() % 3 == 0 ? 0 : data.size() % 3 + 1));
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text, Base64Alphabet alphabet) {
    const bool url = alphabet == Base64Alphabet::UrlSafeNoPad;
    const auto& table = url ? kUrlSafe : kStandard;

    // Split into symbols and padding; "=" only as the last one or two characters.
    std::size_t pad = 0;
    if (!url) {
        if (text.size() % 4 != 0) return std::nullopt;
        while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
    }
    const std::string_view symbols = text.substr(0, text.size() - pad);
    if (symbols.size() % 4 == 1) return std::nullopt;
    for (char c : symbols) {
        if (table[static_cast<unsigned char>(c)] == kInvalid) return std::nullopt;
    }

    // A final group of 2 (or 3) symbols carries 1 (or 2) bytes; the low 4 (or 2)
    // bits of its last symbol are unused and must be zero.
    const std::size_t tail = symbols.size() % 4;
    if (tail != 0) {
        const std::uint8_t last = table[static_cast<unsigned char>(symbols.back())];
        if ((last & (tail == 2 ? 0x0F : 0x03)) != 0) return std::nullopt;
    }
    const std::size_t decoded = symbols.size() / 4 * 3 + (tail == 0 ? 0 : tail - 1);

    // Canonical standard text with padding, as EVP_DecodeBlock expects it.
    std::string standard(symbols);
    if (url) std::ranges::transform(standard, standard.begin(), to_standard);
    if (tail != 0) standard.append(4 - tail, '=');

    std::vector<std::uint8_t> out(standard.size() / 4 * 3);
    const auto* src = reinterpret_cast<const unsigned char*>(standard.data());
    std::size_t written = 0;
    for (std::size_t in = 0; in < standard.size();) {
        const std::size_t n = std::min(standard.size() - in, kDecodePiece);
        const int got = EVP_DecodeBlock(out.data() + written, src + in, static_cast<int>(n));
        if (got < 0 || static_cast<std::size_t>(got) != n / 4 * 3) return std::nullopt;
        written += static_cast<std::size_t>(got);
        in += n;
    }
    out.resize(decoded);  // EVP_DecodeBlock counts the padding as zero bytes
    return out;
}

}  // namespace velora::primitives
