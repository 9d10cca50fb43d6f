// Random polynomials for the ML-KEM engine tests.
#pragma once

#include <cstdint>
#include <random>

#include "core/mlkem/math/poly.hpp"

namespace velora::testing {

// Every coefficient uniform in [0, bound); canonical for bound = q.
inline mlkem::Poly random_poly(std::mt19937& rng, std::uint32_t bound = 3329) {
    std::uniform_int_distribution<std::uint32_t> dist(0, bound - 1);
    mlkem::Poly f;
    for (auto& c : f.coeffs) c = static_cast<std::uint16_t>(dist(rng));
    return f;
}

}  // namespace velora::testing
