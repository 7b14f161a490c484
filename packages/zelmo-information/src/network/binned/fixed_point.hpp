// k log2 k in fixed point, for plug-in entropies summed in integers.
//
// A plug-in entropy over N counted steps is a sum of terms c log2 c over
// the occupied states (N H = N log2 N - sum c log2 c). With every term taken
// from one table of integers, F[k] = round(k log2 k * 2^q), a sum is exact
// and independent of the order of its terms: two tables of counts that are
// permutations of each other give the same total, and no term needs a
// logarithm. q is chosen so that any sum of terms whose counts add up to at
// most N (and the difference of two such sums) fits in 64 bits.
#pragma once

#include <cmath>
#include <cstdint>

#include "../../kernels/support.hpp"

namespace zelmo::network {

class XLog2X {
public:
    // The table for counts 0 .. n, n >= 1.
    explicit XLog2X(std::size_t n) : count_(static_cast<double>(n)) {
        // k log2 k is superadditive, so a sum of terms whose counts add up to
        // at most n stays below n log2 n + (number of terms) / 2 < 2^e.
        const double bound = count_ * std::log2(count_ > 1 ? count_ : 2.0) + count_ + 1.0;
        int e = 0;
        while (std::ldexp(1.0, e) <= bound) ++e;
        scale_ = 61 - e;
        f_ = Buffer<std::int64_t>::uninitialised(n + 1);
        step_ = Buffer<std::int64_t>::uninitialised(n + 1);
        for (std::size_t k = 0; k <= n; ++k) {
            const double x = static_cast<double>(k);
            f_[k] = k < 2 ? 0 : std::llround(std::ldexp(x * std::log2(x), scale_));
        }
        for (std::size_t k = 0; k < n; ++k) step_[k] = f_[k + 1] - f_[k];
        step_[n] = 0;
    }

    // F[k] and F[k + 1] - F[k].
    const std::int64_t* terms() const { return f_.data(); }
    const std::int64_t* steps() const { return step_.data(); }

    // A fixed-point sum of terms, divided by n, in bits.
    double bits(std::int64_t fixed) const { return std::ldexp(static_cast<double>(fixed), -scale_) / count_; }
    double bits(__int128 fixed) const { return std::ldexp(static_cast<double>(fixed), -scale_) / count_; }
    // The same divided by `steps` (at most n) instead.
    double bits(std::int64_t fixed, std::uint64_t steps) const {
        return std::ldexp(static_cast<double>(fixed), -scale_) / static_cast<double>(steps);
    }

private:
    double count_;
    int scale_ = 0;
    Buffer<std::int64_t> f_, step_;
};

}  // namespace zelmo::network
