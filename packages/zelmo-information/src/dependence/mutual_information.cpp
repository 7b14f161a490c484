#include <algorithm>
#include <cmath>

#include "../kernels/joint_entropy.hpp"
#include "../kernels/range.hpp"
#include "dependence.hpp"

namespace zelmo {

Counts pair_table_with_marginals(Span x, SampleRange rx, Span y, SampleRange ry, std::size_t n,
                                 std::uint64_t n_bins, Marginals& m) {
    // The marginal counts are the row and column sums of the table: counted
    // while binning when there are fewer pairs than cells, summed afterwards
    // otherwise (equal either way, as integers).
    const bool few_pairs = n < n_bins * n_bins;
    Counts table = pair_table(x, rx, y, ry, n, n_bins, few_pairs ? &m : nullptr);
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
    return table;
}

namespace {

// One term of the sum, p(x, y) log2(p(x, y) / (p(x) p(y))), added in place.
inline void add_term(double& mi, std::uint64_t c, std::uint64_t cx, std::uint64_t cy, double total) {
    const double px = static_cast<double>(cx) / total;
    const double pxy = static_cast<double>(c) / total;
    const double py = static_cast<double>(cy) / total;
    mi = mi + pxy * std::log2(pxy / (px * py));
}

}  // namespace

double mutual_information_of(const Counts& table, const Marginals& m, std::uint64_t n_bins, std::size_t n) {
    const Counts& cx = m.x;
    const Counts& cy = m.y;
    const double total = static_cast<double>(n);
    double mi = 0.0;
    for (std::uint64_t i = 0; i < n_bins; ++i) {
        if (cx[i] == 0) continue;
        const std::uint64_t* row = table.data() + i * n_bins;
        for_each_occupied(row, n_bins, [&](std::size_t j, std::uint64_t c) {
            if (cy[j] == 0) return;
            add_term(mi, c, cx[i], cy[j], total);
        });
    }
    // Rounding can leave the sum slightly negative (or -0.0, or NaN): 0.0.
    return mi > 0.0 ? mi : 0.0;
}

double self_mutual_information(const Counts& counts, std::uint64_t n_bins, std::size_t n) {
    // The pair table of a series with itself holds its counts on the
    // diagonal alone: the same terms, in the same order.
    const double total = static_cast<double>(n);
    double mi = 0.0;
    for (std::uint64_t i = 0; i < n_bins; ++i) {
        if (counts[i] != 0) add_term(mi, counts[i], counts[i], counts[i], total);
    }
    return mi > 0.0 ? mi : 0.0;
}

double mutual_information(Span x, Span y, std::uint64_t n_bins) {
    const std::size_t n = std::min(x.len, y.len);
    if (n < 3) return 0.0;
    const SampleRange rx = sample_range(x.first(n));
    const SampleRange ry = sample_range(y.first(n));
    if (rx.constant() || ry.constant()) return 0.0;
    Marginals m;
    const Counts table = pair_table_with_marginals(x, rx, y, ry, n, n_bins, m);
    return mutual_information_of(table, m, n_bins, n);
}

}  // namespace zelmo
