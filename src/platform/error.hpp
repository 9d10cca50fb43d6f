// Core error type: every fallible engine operation returns Result<T>.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

namespace velora {

// Six kinds, in tag order. The payload is always a static text, so building
// an error never allocates.
struct VeloraError {
    enum class Kind : std::uint8_t {
        InvalidParameter = 0,
        Rng = 1,
        Decapsulation = 2,
        Decryption = 3,
        Base64 = 4,
        KeySerialization = 5,
    };

    Kind kind;
    std::string_view message;  // static text; empty for Rng and Decryption

    static constexpr VeloraError InvalidParameter(std::string_view m) { return {Kind::InvalidParameter, m}; }
    static constexpr VeloraError Rng() { return {Kind::Rng, {}}; }
    static constexpr VeloraError Decapsulation(std::string_view m) { return {Kind::Decapsulation, m}; }
    static constexpr VeloraError Decryption() { return {Kind::Decryption, {}}; }
    static constexpr VeloraError Base64(std::string_view detail) { return {Kind::Base64, detail}; }
    static constexpr VeloraError KeySerialization(std::string_view m) { return {Kind::KeySerialization, m}; }

    friend constexpr bool operator==(const VeloraError&, const VeloraError&) = default;
};

template <class T>
using Result = std::expected<T, VeloraError>;

inline constexpr std::unexpected<VeloraError> fail(VeloraError e) { return std::unexpected<VeloraError>(e); }

}  // namespace velora
