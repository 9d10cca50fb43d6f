// Keccak-f[1600] on one state in portable C++ (built with -O3; see
// CMakeLists.txt).
#include "primitives/keccak.hpp"
#include "primitives/keccak_rounds.hpp"

namespace velora::primitives::keccak {
namespace {
struct Portable {};
}  // namespace

void permute_scalar(std::uint64_t* state) noexcept { rounds::permute_states<rounds::WordOps<Portable>>(state); }

}  // namespace velora::primitives::keccak
