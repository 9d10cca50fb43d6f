// Transit Package opening (hybrid::open_transit_package_into).
//
// Input: a level byte, a mode byte, then the package. In mode bit 0 set, the
// secret key is taken from the input (ahead of the package, dk_size bytes).
// Checks: the documented errors in their order (package size, key size, tag);
// the plaintext length is the package length minus C + 28; a failed opening
// leaves only zeros in the output buffer.
#include "core/hybrid/hybrid.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const auto [level, dk] = level_and_key(in);
    const ByteSpan package = in.rest();

    const std::size_t min = mlkem::capsule_size(level) + hybrid::kOverheadBytes;
    auto n = hybrid::plaintext_size(package.size(), level);
    if (package.size() < min) {
        FUZZ_CHECK(!n && n.error() == VeloraError::InvalidParameter(hybrid::kPackageTooSmall));
        auto r = hybrid::open_transit_package(package, dk, level);
        FUZZ_CHECK(!r && r.error() == n.error());  // before the key size
        return 0;
    }
    FUZZ_CHECK(n && *n == package.size() - min);

    Bytes out(*n, 0xA5);
    auto r = hybrid::open_transit_package_into(package, dk, level, out);
    if (dk.size() != mlkem::dk_size(level)) {
        FUZZ_CHECK(!r && r.error() == VeloraError::InvalidParameter("decapsulation key has incorrect size"));
    } else if (!r) {
        FUZZ_CHECK(r.error() == VeloraError::Decryption());
        FUZZ_CHECK(all_zero(out));
    } else {
        auto again = hybrid::open_transit_package(package, dk, level);
        FUZZ_CHECK(again && *again == out);
    }
    return 0;
}
