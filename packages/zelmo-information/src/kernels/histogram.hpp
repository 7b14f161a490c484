// The equal-width histogram of one sample over its own range (width rule).
#pragma once

#include <cmath>

#include "range.hpp"
#include "support.hpp"

namespace zelmo {

// Counts of the `count` values of `data` that are counted (all of them, NaN
// and infinities included, or only the finite ones with `finite_only`) in
// `n_bins` equal-width bins spanning their NaN-ignoring range `r`: width =
// range / N once, bin = floor((v - lo) / width) clamped to n_bins - 1, on the
// grid of `r` (halved operands where the range overflows). A
// sample whose range is below 1e-12 gives a single count. Panics with
// "capacity overflow" for n_bins >= 2^60 and with an index-out-of-bounds
// message for n_bins = 0 (non-constant).
Counts histogram_of(Span data, SampleRange r, std::uint64_t count, std::uint64_t n_bins, bool finite_only);

inline std::uint64_t count_total(const Counts& counts) {
    std::uint64_t total = 0;
    for (std::uint64_t c : counts) total += c;
    return total;
}

// -sum p ln p over the non-empty bins in bin order, p = c / total, one term
// at a time with the product rounded before the subtraction.
inline double entropy_nats(const Counts& counts, std::uint64_t total) {
    const double t = static_cast<double>(total);
    double h = 0.0;
    for_each_occupied(counts.data(), counts.size(), [&](std::size_t, std::uint64_t c) {
        const double p = static_cast<double>(c) / t;
        h = h - p * std::log(p);
    });
    return h;
}

}  // namespace zelmo
