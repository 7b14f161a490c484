#include <algorithm>
#include <cmath>

#include "../kernels/joint_entropy.hpp"
#include "../kernels/range.hpp"
#include "dependence.hpp"

namespace zelmo {

double mutual_information(Span x, Span y, std::uint64_t n_bins) {
    const std::size_t n = std::min(x.len, y.len);
    if (n < 3) return 0.0;
    const SampleRange rx = sample_range(x.first(n));
    const SampleRange ry = sample_range(y.first(n));
    if (rx.constant() || ry.constant()) return 0.0;
    // The marginal counts are the row and column sums of the table: counted
    // while binning when there are fewer pairs than cells, summed afterwards
    // otherwise (equal either way, as integers).
    const bool few_pairs = n < n_bins * n_bins;
    Marginals m;
    const Counts table = pair_table(x, rx, y, ry, n, n_bins, few_pairs ? &m : nullptr);
    if (!few_pairs) {
        m = Marginals{Counts::zeroed(n_bins), Counts::zeroed(n_bins)};
        for (std::uint64_t i = 0; i < n_bins; ++i) {
            const std::uint64_t* row = table.data() + i * n_bins;
            for (std::uint64_t j = 0; j < n_bins; ++j) {
                m.x[i] += row[j];
                m.y[j] += row[j];
            }
        }
    }
    const Counts& cx = m.x;
    const Counts& cy = m.y;

    const double total = static_cast<double>(n);
    double mi = 0.0;
    for (std::uint64_t i = 0; i < n_bins; ++i) {
        if (cx[i] == 0) continue;
        const double px = static_cast<double>(cx[i]) / total;
        const std::uint64_t* row = table.data() + i * n_bins;
        for_each_occupied(row, n_bins, [&](std::size_t j, std::uint64_t c) {
            if (cy[j] == 0) return;
            const double pxy = static_cast<double>(c) / total;
            const double py = static_cast<double>(cy[j]) / total;
            mi = mi + pxy * std::log2(pxy / (px * py));
        });
    }
    // Rounding can leave the sum slightly negative (or -0.0, or NaN): 0.0.
    return mi > 0.0 ? mi : 0.0;
}

}  // namespace zelmo
