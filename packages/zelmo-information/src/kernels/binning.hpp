// The scaled bin rule shared by the two- and three-variable measures, the
// paired-sample binning and transfer entropy. It is deliberately not the
// width rule of the histogram: ((v - lo) / range) * N and
// (v - lo) / (range / N) round differently on bin edges.
#pragma once

#include <algorithm>

#include "range.hpp"
#include "support.hpp"
#include "vector_ops.hpp"

namespace zelmo {

// ((v - lo) / range) * N, truncated with saturation, clamped to n_bins - 1
// (n_bins - 1 wraps for n_bins = 0, which leaves the index unclamped; the
// product is then 0 or NaN, so the index is 0).
inline std::uint64_t scaled_bin_index(double v, double lo, double range, std::uint64_t n_bins) {
    const double t = ((v - lo) / range) * static_cast<double>(n_bins);
    const std::uint64_t i = saturating_u64(t);
    const std::uint64_t cap = n_bins - 1;
    return i < cap ? i : cap;
}

// The scaled bin index of v on the grid `g`.
inline std::uint64_t grid_bin_index(double v, const Grid& g, std::uint64_t n_bins) {
    return scaled_bin_index(g.place(v), g.lo, g.range, n_bins);
}

// Calls f(p, len, first) over the values as `g` places them: once over
// `values` themselves, or, on a halved grid, over halved copies of at most
// vec::kBlock values at a time; `first` is the index of p[0] in `values`.
template <class F>
void on_grid(Span values, const Grid& g, F f) {
    if (!g.halved) {
        f(values.data, values.len, std::size_t{0});
        return;
    }
    double half[vec::kBlock];
    for (std::size_t i = 0; i < values.len; i += vec::kBlock) {
        const std::size_t len = std::min(vec::kBlock, values.len - i);
        for (std::size_t k = 0; k < len; ++k) half[k] = values.data[i + k] * 0.5;
        f(half, len, i);
    }
}

// Writes the scaled bin index of every value of `values` to `out` on the
// grid of the range `r` (which may have been taken over more values than are
// binned). A constant range puts every value in bin 0.
void bin_scaled(Span values, SampleRange r, std::uint64_t n_bins, std::uint64_t* out);

// The same for bin counts up to 2^31, as 32-bit indices.
void bin_scaled_narrow(Span values, SampleRange r, std::uint64_t n_bins, std::uint32_t* out);

}  // namespace zelmo
