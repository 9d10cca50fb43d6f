// Keccak-f[1600] on one state in general-purpose registers, built with BMI1
// and BMI2 (andn for chi, rorx for the rotations) and -O3; see
// CMakeLists.txt. Called only when the CPU has both (every CPU with AVX2
// that this engine meets does, and the paths that use it check).
#include "primitives/keccak.hpp"

#if VELORA_HAVE_X86_KECCAK

#include "primitives/keccak_rounds.hpp"

namespace velora::primitives::keccak {
namespace {
struct Bmi2 {};
}  // namespace

void permute_bmi2(std::uint64_t* state) noexcept { rounds::permute_states<rounds::WordOps<Bmi2>>(state); }

}  // namespace velora::primitives::keccak

#endif
