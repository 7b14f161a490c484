#include "joint_entropy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "binning.hpp"
#include "range.hpp"
#include "vector_ops.hpp"

namespace zelmo {

Counts pair_table(Span x, SampleRange rx, Span y, SampleRange ry, std::size_t n, std::uint64_t n_bins,
                  Marginals* marginals) {
    const std::uint64_t cells = square_cells(n_bins);
    Counts table = Counts::zeroed(cells);
    if (marginals != nullptr) *marginals = Marginals{Counts::zeroed(n_bins), Counts::zeroed(n_bins)};
    if (n == 0) return table;
    // With no bins every index is 0, and cell 0 is beyond the empty table.
    if (n_bins == 0) panic_index(0, 0);
    // Binning and counting block by block: no index vectors are kept.
    if (n_bins < (std::uint64_t{1} << 16)) {
        const auto width = static_cast<std::uint32_t>(n_bins);
        vec::Tally tally(table.data(), cells, n);
        std::uint32_t bx[vec::kBlock];
        std::uint32_t by[vec::kBlock];
        for (std::size_t i = 0; i < n; i += vec::kBlock) {
            const std::size_t len = std::min(vec::kBlock, n - i);
            bin_scaled_narrow(Span{x.data + i, len}, rx, n_bins, bx);
            bin_scaled_narrow(Span{y.data + i, len}, ry, n_bins, by);
            if (marginals != nullptr) {
                for (std::size_t k = 0; k < len; ++k) {
                    ++marginals->x[bx[k]];
                    ++marginals->y[by[k]];
                }
            }
            for (std::size_t k = 0; k < len; ++k) bx[k] = bx[k] * width + by[k];
            tally.add(bx, len);
        }
        tally.finish();
        return table;
    }
    const bool x_constant = rx.constant();
    const bool y_constant = ry.constant();
    const Grid gx = rx.grid();
    const Grid gy = ry.grid();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t bx = x_constant ? 0 : grid_bin_index(x.data[i], gx, n_bins);
        const std::uint64_t by = y_constant ? 0 : grid_bin_index(y.data[i], gy, n_bins);
        const std::uint64_t cell = bx * n_bins + by;
        if (cell >= cells) panic_index(cells, cell);
        ++table[cell];
        if (marginals != nullptr) {
            ++marginals->x[bx];
            ++marginals->y[by];
        }
    }
    return table;
}

double entropy_bits(const std::uint64_t* counts, std::size_t cells, double total) {
    double h = 0.0;
    for_each_occupied(counts, cells, [&](std::size_t, std::uint64_t c) {
        const double p = static_cast<double>(c) / total;
        h = h - p * std::log2(p);
    });
    return h;
}

double joint_entropy_inner(Span x, Span y, std::uint64_t n_bins) {
    const std::size_t n = std::min(x.len, y.len);
    if (n < 2) return std::numeric_limits<double>::quiet_NaN();
    return joint_entropy_bits(x, sample_range(x), y, sample_range(y), n, n_bins);
}

double joint_entropy_bits(Span x, SampleRange rx, Span y, SampleRange ry, std::size_t n, std::uint64_t n_bins) {
    const Counts table = pair_table(x, rx, y, ry, n, n_bins, nullptr);
    return entropy_bits(table.data(), table.size(), static_cast<double>(n));
}

}  // namespace zelmo
