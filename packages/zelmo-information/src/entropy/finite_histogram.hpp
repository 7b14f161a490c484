// The binning step the one-sample entropies share.
#pragma once

#include "../kernels/histogram.hpp"
#include "../kernels/prepare.hpp"

namespace zelmo {

// The equal-width histogram of the finite values of `data` with n_bins bins
// (negative: the automatic count), or an empty table when fewer than two
// values are finite.
inline Counts finite_histogram(Span data, std::int64_t n_bins) {
    const Buffer<double> sample = finite_only(data);
    if (sample.size() < 2) return Counts{};
    return histogram_1d(as_span(sample), resolve_bin_count(n_bins, sample.size()));
}

}  // namespace zelmo
