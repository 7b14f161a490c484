#include "paired.hpp"

#include <algorithm>

#include "../kernels/binning.hpp"
#include "../kernels/histogram.hpp"
#include "../kernels/prepare.hpp"
#include "../kernels/range.hpp"
#include "../kernels/vector_ops.hpp"

namespace zelmo {

namespace {

// Counts the `count` values of `values` that take part (all, or the finite
// ones) into `table` on the grid `r`.
void count_into(Counts& table, Span values, std::size_t count, SampleRange r, std::uint64_t n_bins,
                bool finite_only) {
    if (count == 0) return;
    // Every index is 0 on a constant grid and when there are no bins (the
    // product with N = 0 is 0 or NaN): beyond an empty table.
    if (n_bins == 0) panic_index(0, 0);
    if (r.constant()) {
        table[0] += count;
        return;
    }
    const Grid g = r.grid();
    // A sample whose values are all counted needs no filtering.
    finite_only = finite_only && count < values.len;
    if (n_bins <= vec::kMaxVectorBins) {
        vec::Tally tally(table.data(), n_bins, count);
        on_grid(values, g, [&](const double* p, std::size_t len, std::size_t) {
            vec::count_scaled_bins(p, len, g.lo, g.range, n_bins, finite_only, tally);
        });
        tally.finish();
        return;
    }
    for (std::size_t i = 0; i < values.len; ++i) {
        const double v = values.data[i];
        if (finite_only && !is_finite(v)) continue;
        ++table[grid_bin_index(v, g, n_bins)];
    }
}

PairedCounts counted(Span p, std::size_t p_count, Span q, std::size_t q_count, SampleRange r,
                     std::uint64_t n_bins, bool finite_only) {
    check_capacity(n_bins);
    PairedCounts out{Counts::zeroed(n_bins), Counts::zeroed(n_bins)};
    count_into(out.p, p, p_count, r, n_bins, finite_only);
    count_into(out.q, q, q_count, r, n_bins, finite_only);
    return out;
}

}  // namespace

PairedCounts paired_histograms(Span p, Span q, std::uint64_t n_bins) {
    return counted(p, p.len, q, q.len, sample_range(p, q), n_bins, false);
}

std::optional<NormalisedCounts> finite_paired_histograms(Span p, Span q, std::int64_t n_bins) {
    const FiniteSummary f = finite_summary(p, q);
    if (f.count_a == 0 || f.count_b == 0) return std::nullopt;
    const std::uint64_t bins = resolve_bin_count(n_bins, std::max(f.count_a, f.count_b));
    PairedCounts counts = counted(p, f.count_a, q, f.count_b, f.range, bins, true);
    const double p_norm = static_cast<double>(count_total(counts.p)) + 1e-12;
    const double q_norm = static_cast<double>(count_total(counts.q)) + 1e-12;
    return NormalisedCounts{std::move(counts), p_norm, q_norm};
}

}  // namespace zelmo
