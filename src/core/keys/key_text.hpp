// Text forms of keys: the public key as URL-safe Base64, as PEM-like armour
// and as one-line JSON, and the wrapped secret-key blob as PEM-like armour.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/mlkem/params.hpp"
#include "platform/error.hpp"

namespace velora::key_text {

inline constexpr std::string_view kPublicKeyHeader = "-----BEGIN ML-KEM PUBLIC KEY-----";
inline constexpr std::string_view kPublicKeyFooter = "-----END ML-KEM PUBLIC KEY-----";
inline constexpr std::string_view kEncryptedKeyHeader = "-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----";
inline constexpr std::string_view kEncryptedKeyFooter = "-----END ENCRYPTED ML-KEM PRIVATE KEY-----";

// "ML_KEM_512", "ML_KEM_768", "ML_KEM_1024" for indices 0, 1, 2.
std::string_view level_name(std::uint8_t level) noexcept;

// ---- public key, URL-safe Base64 (no padding) --------------------------------

// Encodes any byte string; never fails, makes no size check.
std::string public_key_to_b64(std::span<const std::uint8_t> public_key);

// Trims Unicode white space, drops every trailing "=", decodes canonically and
// checks the size against the level. `text` is UTF-8.
Result<std::vector<std::uint8_t>> public_key_from_b64(std::string_view text, mlkem::LevelIndex level);

// ---- public key, PEM-like ---------------------------------------------------

// Header LF, standard padded Base64 of the key in 64-character lines, LF, footer LF.
std::string public_key_to_pem(std::span<const std::uint8_t> public_key);

// Body between the markers, white space removed, decoded as canonical
// standard Base64 (KeySerialization "PEM body is not valid Base64 STANDARD"),
// then checked against the level's size (InvalidParameter).
Result<std::vector<std::uint8_t>> public_key_from_pem(std::string_view pem, std::uint8_t level);

// ---- public key, JSON -------------------------------------------------------

// {"algorithm":"ML-KEM","level":"<LEVEL>","public_key":"<URL-safe Base64>"}
std::string public_key_to_json(std::span<const std::uint8_t> public_key, std::uint8_t level);

struct PublicKeyWithLevel {
    std::vector<std::uint8_t> public_key;
    std::uint8_t level;
};

// Reads the three fields with extract_json_string (algorithm, level,
// public_key: all three before any is checked), then checks the algorithm,
// the level name and the key (as deserialize_public_key does).
Result<PublicKeyWithLevel> public_key_from_json(std::string_view json);

// A minimal field scanner, not a JSON parser: finds the first `"field":`
// anywhere in the text (no white space allowed before the colon), skips white
// space, requires a double quote and returns everything up to the next double
// quote. Escapes are not interpreted. Errors (KeySerialization): "missing JSON
// field", "JSON field value is not a string", "unterminated JSON string value".
Result<std::string_view> extract_json_string(std::string_view json, std::string_view field);

// ---- wrapped secret key, PEM-like -------------------------------------------

std::string secret_key_blob_to_pem(std::span<const std::uint8_t> blob);

// The blob inside the armour: body between the markers, white space removed,
// canonical standard Base64 (KeySerialization "PEM ENCRYPTED body is not
// valid Base64 STANDARD"). The blob itself is checked by unwrap_secret_key.
Result<std::vector<std::uint8_t>> secret_key_blob_from_pem(std::string_view pem);

}  // namespace velora::key_text
