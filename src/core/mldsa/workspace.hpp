// Heap storage for the polynomials of one key generation, signature or
// verification (up to 56 matrix entries and the working vectors, about
// 100 KiB for ML-DSA-87: too much for the stacks of small threads). Wiped
// when released.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "core/mldsa/math/poly.hpp"
#include "core/mldsa/params.hpp"

namespace velora::mldsa {

class Workspace {
public:
    explicit Workspace(std::size_t polys) : polys_(new Poly[polys]), count_(polys) {}
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    ~Workspace() { wipe_polys(std::span(polys_.get(), count_)); }

    // The next n polynomials (uninitialised).
    std::span<Poly> take(std::size_t n) noexcept {
        const std::span<Poly> out(polys_.get() + used_, n);
        used_ += n;
        return out;
    }

private:
    std::unique_ptr<Poly[]> polys_;
    std::size_t count_;
    std::size_t used_ = 0;
};

}  // namespace velora::mldsa
