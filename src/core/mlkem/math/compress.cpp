// Compression and the byte encodings ByteEncode_d / ByteDecode_d.
#include "core/mlkem/math/compress.hpp"

namespace velora::mlkem {

Poly compress_d(const Poly& f, std::size_t d) noexcept {
    Poly r;
    for (std::size_t i = 0; i < kN; ++i) r[i] = compress_d(f[i], d);
    return r;
}

Poly decompress_d(const Poly& f, std::size_t d) noexcept {
    Poly r;
    for (std::size_t i = 0; i < kN; ++i) r[i] = decompress_d(f[i], d);
    return r;
}

// ByteEncode_d (Algorithm 5): the low d bits of each coefficient, packed
// least significant bit first into 32 * d bytes.
std::vector<std::uint8_t> Poly::encode_d(std::size_t d) const {
    std::vector<std::uint8_t> out;
    if (d == 0) return out;
    out.reserve(32 * d);
    const std::uint32_t mask = (1u << d) - 1;
    std::uint32_t acc = 0;
    std::size_t bits = 0;
    for (std::size_t i = 0; i < kN; ++i) {
        acc |= (coeffs[i] & mask) << bits;
        bits += d;
        for (; bits >= 8; bits -= 8) {
            out.push_back(static_cast<std::uint8_t>(acc));
            acc >>= 8;
        }
    }
    return out;
}

// ByteDecode_d (Algorithm 6): 256 fields of d bits, then reduced modulo q with
// one branch-free conditional subtraction (a d-bit field is below 2q).
Poly byte_decode_d(std::span<const std::uint8_t> bytes, std::size_t d) noexcept {
    Poly f;
    const std::uint32_t mask = (1u << d) - 1;
    std::uint32_t acc = 0;
    std::size_t bits = 0;
    std::size_t n = 0;
    for (std::size_t b = 0; b < 32 * d; ++b) {
        acc |= static_cast<std::uint32_t>(bytes[b]) << bits;
        bits += 8;
        for (; bits >= d; bits -= d) {
            f[n++] = detail::reduce_once(static_cast<std::uint16_t>(acc & mask));
            acc >>= d;
        }
    }
    return f;
}

// ByteEncode_12 of each polynomial: coefficients a = f[2m], b = f[2m + 1] go
// to bytes 3m .. 3m + 2 as a[7:0], a[11:8] | b[3:0] << 4, b[11:4].
std::vector<std::uint8_t> PolyVec::to_bytes(std::span<const Poly> v) {
    std::vector<std::uint8_t> out(384 * v.size());
    std::uint8_t* o = out.data();
    for (const Poly& f : v) {
        for (std::size_t m = 0; m < kN / 2; ++m, o += 3) {
            const std::uint16_t a = f[2 * m];
            const std::uint16_t b = f[2 * m + 1];
            o[0] = static_cast<std::uint8_t>(a);
            o[1] = static_cast<std::uint8_t>((a >> 8) | ((b & 0x0F) << 4));
            o[2] = static_cast<std::uint8_t>(b >> 4);
        }
    }
    return out;
}

// ByteDecode_12 of n consecutive 384-byte blocks. A 12-bit value of 3329 or
// more is reduced modulo q (4095 becomes 766), never rejected.
PolyVec PolyVec::from_bytes(std::span<const std::uint8_t> bytes, std::size_t n) {
    PolyVec v = zero(n);
    const std::uint8_t* in = bytes.data();
    for (Poly& f : v.polys) {
        for (std::size_t m = 0; m < kN / 2; ++m, in += 3) {
            const auto a = static_cast<std::uint16_t>(in[0] | ((in[1] & 0x0F) << 8));
            const auto b = static_cast<std::uint16_t>((in[1] >> 4) | (in[2] << 4));
            f[2 * m] = detail::reduce_once(a);
            f[2 * m + 1] = detail::reduce_once(b);
        }
    }
    return v;
}

}  // namespace velora::mlkem
