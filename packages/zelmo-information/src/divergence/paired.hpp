// Two samples counted on one grid of equal-width bins spanning both.
#pragma once

#include <cstdint>
#include <optional>

#include "../kernels/support.hpp"

namespace zelmo {

struct PairedCounts {
    Counts p;
    Counts q;
};

// The grid spans the NaN-ignoring range of p followed by q; each value gets
// scaled_bin_index over that range (bin 0 for all when the span is below
// 1e-12). Both tables have n_bins counters; p is counted before q. Every
// value is counted, NaN and infinities included.
PairedCounts paired_histograms(Span p, Span q, std::uint64_t n_bins);

// The finite values of both samples on their shared grid, with n_bins
// resolved from the larger sample when negative, and the normalisers
// (number of finite values) + 1e-12. Nothing when either sample has no
// finite value. Non-finite values are skipped in place, never copied out.
struct NormalisedCounts {
    PairedCounts counts;
    double p_norm;
    double q_norm;
};
std::optional<NormalisedCounts> finite_paired_histograms(Span p, Span q, std::int64_t n_bins);

}  // namespace zelmo
