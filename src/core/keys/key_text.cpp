#include "core/keys/key_text.hpp"

#include "core/keys/pem.hpp"
#include "core/keys/white_space.hpp"
#include "core/mlkem/params.hpp"
#include "primitives/base64.hpp"

#include <utility>

namespace velora::key_text {

using primitives::Base64Alphabet;

namespace {

// The bytes inside header ... footer: white space removed, then canonical
// standard Base64; KeySerialization `bad_body` when the body is not.
Result<std::vector<std::uint8_t>> decode_armour(std::string_view pem, std::string_view header,
                                                std::string_view footer, std::string_view bad_body) {
    const auto body = pem::extract_pem_body(pem, header, footer);
    if (!body) return fail(body.error());
    auto bytes = primitives::base64_decode(pem::unwrap_pem_body(*body), Base64Alphabet::StandardPadded);
    if (!bytes) return fail(VeloraError::KeySerialization(bad_body));
    return std::move(*bytes);
}

}  // namespace

std::string public_key_to_b64(std::span<const std::uint8_t> public_key) {
    return primitives::base64_encode(public_key, Base64Alphabet::UrlSafeNoPad);
}

Result<std::vector<std::uint8_t>> public_key_from_b64(std::string_view text, mlkem::LevelIndex level) {
    std::string_view body = text::trim_white_space(text);
    while (!body.empty() && body.back() == '=') body.remove_suffix(1);
    auto decoded = primitives::base64_decode(body, Base64Alphabet::UrlSafeNoPad);
    if (!decoded) return fail(VeloraError::Base64("invalid base64 URL-safe string"));
    if (decoded->size() != mlkem::ek_size(level)) {
        return fail(VeloraError::InvalidParameter(
            "decoded public key has incorrect size for the specified security level"));
    }
    return std::move(*decoded);
}

std::string_view level_name(std::uint8_t level) noexcept {
    if (level == 0) return "ML_KEM_512";
    if (level == 1) return "ML_KEM_768";
    return "ML_KEM_1024";
}

// ---- public key, PEM-like ---------------------------------------------------

std::string public_key_to_pem(std::span<const std::uint8_t> public_key) {
    return pem::armour(kPublicKeyHeader, primitives::base64_encode(public_key, Base64Alphabet::StandardPadded),
                       kPublicKeyFooter);
}

Result<std::vector<std::uint8_t>> public_key_from_pem(std::string_view pem, std::uint8_t level) {
    auto key = decode_armour(pem, kPublicKeyHeader, kPublicKeyFooter, "PEM body is not valid Base64 STANDARD");
    if (!key) return key;
    if (key->size() != mlkem::ek_size(level)) {
        return fail(VeloraError::InvalidParameter("public key size does not match the specified security level"));
    }
    return std::move(*key);
}

// ---- public key, JSON -------------------------------------------------------

std::string public_key_to_json(std::span<const std::uint8_t> public_key, std::uint8_t level) {
    const std::string key = public_key_to_b64(public_key);
    std::string out;
    out.reserve(64 + key.size());
    out.append(R"({"algorithm":"ML-KEM","level":")");
    out.append(level_name(level));
    out.append(R"(","public_key":")");
    out.append(key);
    out.append(R"("})");
    return out;
}

Result<std::string_view> extract_json_string(std::string_view json, std::string_view field) {
    std::string needle;
    needle.reserve(field.size() + 3);
    needle.push_back('"');
    needle.append(field);
    needle.append("\":");
    const std::size_t at = json.find(needle);
    if (at == std::string_view::npos) return fail(VeloraError::KeySerialization("missing JSON field"));

    std::size_t pos = at + needle.size();
    while (const std::size_t ws = text::white_space_length(json, pos)) pos += ws;
    if (pos >= json.size() || json[pos] != '"') {
        return fail(VeloraError::KeySerialization("JSON field value is not a string"));
    }
    const std::size_t open = pos + 1;
    const std::size_t close = json.find('"', open);
    if (close == std::string_view::npos) return fail(VeloraError::KeySerialization("unterminated JSON string value"));
    return json.substr(open, close - open);
}

Result<PublicKeyWithLevel> public_key_from_json(std::string_view json) {
    const auto algorithm = extract_json_string(json, "algorithm");
    if (!algorithm) return fail(algorithm.error());
    const auto level_text = extract_json_string(json, "level");
    if (!level_text) return fail(level_text.error());
    const auto key_text = extract_json_string(json, "public_key");
    if (!key_text) return fail(key_text.error());

    if (*algorithm != "ML-KEM") return fail(VeloraError::KeySerialization("unsupported algorithm (expected 'ML-KEM')"));
    std::uint8_t level = 0;
    while (level < 3 && *level_text != level_name(level)) ++level;
    if (level == 3) {
        return fail(VeloraError::KeySerialization("unsupported level in JSON (expected ML_KEM_512/768/1024)"));
    }
    auto key = public_key_from_b64(*key_text, level);
    if (!key) return fail(key.error());
    return PublicKeyWithLevel{std::move(*key), level};
}

// ---- wrapped secret key, PEM-like -------------------------------------------

std::string secret_key_blob_to_pem(std::span<const std::uint8_t> blob) {
    return pem::armour(kEncryptedKeyHeader, primitives::base64_encode(blob, Base64Alphabet::StandardPadded),
                       kEncryptedKeyFooter);
}

Result<std::vector<std::uint8_t>> secret_key_blob_from_pem(std::string_view pem) {
    return decode_armour(pem, kEncryptedKeyHeader, kEncryptedKeyFooter,
                         "PEM ENCRYPTED body is not valid Base64 STANDARD");
}

}  // namespace velora::key_text
