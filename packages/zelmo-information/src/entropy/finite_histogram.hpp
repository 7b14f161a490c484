// The binning step the one-sample entropies share.
#pragma once

#include "../kernels/histogram.hpp"
#include "../kernels/prepare.hpp"

namespace zelmo {

// The equal-width histogram of the finite values of `data` with n_bins bins
// (negative: the automatic count), or an empty table when fewer than two
// values are finite. The non-finite values are skipped in place: one pass
// finds the range and count of the finite values, one pass bins them.
inline Counts finite_histogram(Span data, std::int64_t n_bins) {
    const FiniteSummary f = finite_summary(data);
    if (f.count_a < 2) return Counts{};
    return histogram_of(data, f.range, f.count_a, resolve_bin_count(n_bins, f.count_a), true);
}

}  // namespace zelmo
