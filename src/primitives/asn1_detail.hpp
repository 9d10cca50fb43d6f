// Internal to src/primitives: the strict DER reading and the writing that
// pkix.cpp and pkcs8_pbes2.cpp share for the structures they hand to
// libcrypto's ASN.1 types.
#pragma once

#include <openssl/err.h>

#include <cstdint>
#include <new>
#include <span>

#include "platform/ct.hpp"
#include "platform/error.hpp"
#include "primitives/pkix.hpp"

namespace velora::primitives::asn1 {

// The DER of `obj` (re-encoded by libcrypto's `i2d`) equals `der`. DER is the
// one canonical encoding, so this holds exactly when the input was DER. The
// comparison runs in constant time: a private key may be inside.
template <class T, class I2d>
bool reencodes_to(const T* obj, I2d i2d, std::span<const std::uint8_t> der) {
    const int n = i2d(obj, nullptr);
    if (n <= 0 || static_cast<std::size_t>(n) != der.size()) return false;
    SecretBuffer again(static_cast<std::size_t>(n));
    std::uint8_t* p = again.data();
    if (i2d(obj, &p) != n) return false;
    std::uint8_t same = ct::equal(again.span(), der);
    ct::declassify(&same, 1);  // whether the input was DER is public
    return same == 1;
}

// `der` read as one structure by `d2i` into an owning `Ptr`, strictly: the
// outer TLV checks, libcrypto's decoding, nothing left over, and exactly the
// DER encoding (`i2d` re-creates it). Each failure is KeySerialization with
// the structure's message.
template <class Ptr, class D2i, class I2d>
Result<Ptr> decode_strict(std::span<const std::uint8_t> der, const pkix::DerMessages& m, D2i d2i, I2d i2d) {
    if (auto outer = pkix::check_outer_tlv(der, m); !outer) return fail(outer.error());
    const unsigned char* p = der.data();
    Ptr obj(d2i(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    if (!obj) return fail(VeloraError::KeySerialization(m.malformed));
    if (static_cast<std::size_t>(p - der.data()) != der.size()) return fail(VeloraError::KeySerialization(m.trailing));
    if (!reencodes_to(obj.get(), i2d, der)) return fail(VeloraError::KeySerialization(m.not_der));
    return obj;
}

// The DER of `obj` by libcrypto's `i2d`, in an `Out` (a byte vector or a
// SecretBuffer). Only allocation can fail.
template <class Out, class T, class I2d>
Out encode_der(const T* obj, I2d i2d) {
    const int n = i2d(obj, nullptr);
    if (n <= 0) throw std::bad_alloc();
    Out out(static_cast<std::size_t>(n));
    unsigned char* p = out.data();
    i2d(obj, &p);
    return out;
}

}  // namespace velora::primitives::asn1
