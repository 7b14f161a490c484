#include "joint_entropy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "binning.hpp"
#include "range.hpp"

namespace zelmo {

Counts pair_table(Span x, SampleRange rx, Span y, SampleRange ry, std::size_t n, std::uint64_t n_bins) {
    const std::uint64_t cells = square_cells(n_bins);
    Counts table = Counts::zeroed(cells);
    // Binning and counting in one pass: no index vectors are kept.
    const bool x_constant = rx.constant();
    const bool y_constant = ry.constant();
    const double x_range = rx.span();
    const double y_range = ry.span();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t bx = x_constant ? 0 : scaled_bin_index(x.data[i], rx.lo, x_range, n_bins);
        const std::uint64_t by = y_constant ? 0 : scaled_bin_index(y.data[i], ry.lo, y_range, n_bins);
        const std::uint64_t cell = bx * n_bins + by;
        if (cell >= cells) panic_index(cells, cell);
        ++table[cell];
    }
    return table;
}

double entropy_bits(const std::uint64_t* counts, std::size_t cells, double total) {
    double h = 0.0;
    for (std::size_t i = 0; i < cells; ++i) {
        const std::uint64_t c = counts[i];
        if (c == 0) continue;
        const double p = static_cast<double>(c) / total;
        h = h - p * std::log2(p);
    }
    return h;
}

double joint_entropy_inner(Span x, Span y, std::uint64_t n_bins) {
    const std::size_t n = std::min(x.len, y.len);
    if (n < 2) return std::numeric_limits<double>::quiet_NaN();
    const SampleRange rx = sample_range(x);
    const SampleRange ry = sample_range(y);
    const Counts table = pair_table(x, rx, y, ry, n, n_bins);
    return entropy_bits(table.data(), table.size(), static_cast<double>(n));
}

}  // namespace zelmo
