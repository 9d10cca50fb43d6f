// Hand-written, since libcrypto has no type for this CHOICE: it is three
// fixed shapes, and its reader is fuzzed (tests/fuzz/fuzz_mlkem_private_key.cpp).
#include "core/keys/mlkem_private_key.hpp"

#include <algorithm>
#include <array>

#include "platform/ct.hpp"

namespace velora::mlkem_key {

namespace {

constexpr std::array<std::string_view, 3> kExpandedSize = {
    "ML-KEM private key: an ML-KEM-512 expandedKey is 1632 bytes",
    "ML-KEM private key: an ML-KEM-768 expandedKey is 2400 bytes",
    "ML-KEM private key: an ML-KEM-1024 expandedKey is 3168 bytes",
};

// DER header octets of a definite length n: 1 byte below 128, else 0x8L and
// L big-endian bytes (the keys here need at most 2).
std::size_t length_octets(std::size_t n) noexcept { return n < 0x80 ? 1 : n < 0x100 ? 2 : 3; }

std::uint8_t* put_header(std::uint8_t* out, std::uint8_t tag, std::size_t n) noexcept {
    *out++ = tag;
    if (n < 0x80) {
        *out++ = static_cast<std::uint8_t>(n);
    } else if (n < 0x100) {
        *out++ = 0x81;
        *out++ = static_cast<std::uint8_t>(n);
    } else {
        *out++ = 0x82;
        *out++ = static_cast<std::uint8_t>(n >> 8);
        *out++ = static_cast<std::uint8_t>(n);
    }
    return out;
}

std::uint8_t* put(std::uint8_t* out, std::span<const std::uint8_t> bytes) noexcept {
    return std::copy(bytes.begin(), bytes.end(), out);
}

struct Tlv {
    std::uint8_t tag;
    std::span<const std::uint8_t> contents;
    std::span<const std::uint8_t> rest;
};

// One DER TLV from the front of `in`: a low-number tag, a definite length in
// its shortest form (at most 4 length bytes: nothing here comes near 2^32),
// contents that fit in the input.
Result<Tlv> read_tlv(std::span<const std::uint8_t> in) {
    if (in.size() < 2) return fail(VeloraError::KeySerialization("ML-KEM private key: truncated"));
    ct::declassify(in.data(), 2);
    const std::uint8_t tag = in[0];
    if ((tag & 0x1F) == 0x1F) {
        return fail(VeloraError::KeySerialization("ML-KEM private key: multi-byte tags are not used here"));
    }
    std::size_t n = in[1];
    std::size_t header = 2;
    if (n == 0x80) return fail(VeloraError::KeySerialization("ML-KEM private key: indefinite length (BER, not DER)"));
    if (n > 0x80) {
        const std::size_t count = n & 0x7F;
        if (count > 4) return fail(VeloraError::KeySerialization("ML-KEM private key: length field too long"));
        if (in.size() < 2 + count) return fail(VeloraError::KeySerialization("ML-KEM private key: truncated"));
        ct::declassify(in.data() + 2, count);
        n = 0;
        for (std::size_t i = 0; i < count; ++i) n = (n << 8) | in[2 + i];
        if (in[2] == 0 || n < 0x80) {
            return fail(VeloraError::KeySerialization("ML-KEM private key: non-minimal length encoding (not DER)"));
        }
        header += count;
    }
    if (in.size() - header < n) return fail(VeloraError::KeySerialization("ML-KEM private key: truncated"));
    return Tlv{tag, in.subspan(header, n), in.subspan(header + n)};
}

}  // namespace

std::size_t encoded_size(Form form, mlkem::LevelIndex level) noexcept {
    const std::size_t dk = mlkem::dk_size(level);
    const std::size_t seed_tlv = 2 + kSeedBytes;
    const std::size_t dk_tlv = 1 + length_octets(dk) + dk;
    switch (form) {
        case Form::Seed: return seed_tlv;
        case Form::Expanded: return dk_tlv;
        case Form::Both: return 1 + length_octets(seed_tlv + dk_tlv) + seed_tlv + dk_tlv;
    }
    return 0;
}

SecretBuffer encode(Form form, std::span<const std::uint8_t> seed, std::span<const std::uint8_t> dk,
                              mlkem::LevelIndex level) {
    SecretBuffer out(encoded_size(form, level));
    std::uint8_t* p = out.data();
    const std::size_t dk_tlv = 1 + length_octets(dk.size()) + dk.size();
    switch (form) {
        case Form::Seed:
            p = put(put_header(p, kTagSeed, kSeedBytes), seed);
            break;
        case Form::Expanded:
            p = put(put_header(p, kTagOctetString, dk.size()), dk);
            break;
        case Form::Both:
            p = put_header(p, kTagSequence, 2 + kSeedBytes + dk_tlv);
            p = put(put_header(p, kTagOctetString, kSeedBytes), seed);
            p = put(put_header(p, kTagOctetString, dk.size()), dk);
            break;
    }
    return out;
}

Result<Decoded> decode(std::span<const std::uint8_t> der, mlkem::LevelIndex level) {
    if (der.empty()) return fail(VeloraError::KeySerialization("ML-KEM private key: empty"));
    auto outer = read_tlv(der);
    if (!outer) return fail(outer.error());
    if (!outer->rest.empty()) {
        return fail(VeloraError::KeySerialization("ML-KEM private key: trailing data after the key"));
    }
    const std::size_t dk_bytes = mlkem::dk_size(level);
    switch (outer->tag) {
        case kTagSeed:
            if (outer->contents.size() != kSeedBytes) {
                return fail(VeloraError::KeySerialization("ML-KEM private key: the seed is 64 bytes"));
            }
            return Decoded{Form::Seed, outer->contents, {}};
        case kTagOctetString:
            if (outer->contents.size() != dk_bytes) return fail(VeloraError::KeySerialization(kExpandedSize[level]));
            return Decoded{Form::Expanded, {}, outer->contents};
        case kTagSequence: {
            auto seed = read_tlv(outer->contents);
            if (!seed) return fail(seed.error());
            if (seed->tag != kTagOctetString) {
                return fail(VeloraError::KeySerialization(
                    "ML-KEM private key: both must start with the seed as an OCTET STRING"));
            }
            if (seed->contents.size() != kSeedBytes) {
                return fail(VeloraError::KeySerialization("ML-KEM private key: the seed is 64 bytes"));
            }
            auto dk = read_tlv(seed->rest);
            if (!dk) return fail(dk.error());
            if (dk->tag != kTagOctetString) {
                return fail(VeloraError::KeySerialization(
                    "ML-KEM private key: both must end with the expandedKey as an OCTET STRING"));
            }
            if (dk->contents.size() != dk_bytes) return fail(VeloraError::KeySerialization(kExpandedSize[level]));
            if (!dk->rest.empty()) {
                return fail(VeloraError::KeySerialization("ML-KEM private key: trailing data inside both"));
            }
            return Decoded{Form::Both, seed->contents, dk->contents};
        }
        default:
            return fail(VeloraError::KeySerialization(
                "ML-KEM private key: unknown form (expected seed [0], expandedKey OCTET STRING or both SEQUENCE)"));
    }
}

}  // namespace velora::mlkem_key
