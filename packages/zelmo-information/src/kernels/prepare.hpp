// The finite-value test and the automatic bin count shared by the
// one-sample entropies and the two-sample comparisons.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace zelmo {

// Neither NaN nor infinite (-0.0 and subnormals are finite).
inline bool is_finite(double v) { return std::fabs(v) <= std::numeric_limits<double>::max(); }

// max(10, floor(sqrt(m))), computed in doubles as sqrt, maxNum with 10.0,
// then truncation toward zero.
inline std::uint64_t automatic_bin_count(std::uint64_t m) {
    const double r = std::fmax(std::sqrt(static_cast<double>(m)), 10.0);
    return static_cast<std::uint64_t>(r);
}

// A signed bin count: negative values select the automatic count for m values.
inline std::uint64_t resolve_bin_count(std::int64_t n_bins, std::uint64_t m) {
    return n_bins < 0 ? automatic_bin_count(m) : static_cast<std::uint64_t>(n_bins);
}

}  // namespace zelmo
