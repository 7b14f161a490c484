#include <algorithm>
#include <limits>

#include "../kernels/histogram.hpp"
#include "../kernels/joint_entropy.hpp"
#include "../kernels/range.hpp"
#include "dependence.hpp"

namespace zelmo {

namespace {

constexpr double kLn2 = 0.6931471805599453;

// Entropy in bits of the equal-width histogram of `s` over its range `r`.
double marginal_bits(Span s, SampleRange r, std::uint64_t n_bins) {
    const Counts counts = histogram_of(s, r, s.len, n_bins, false);
    return entropy_nats(counts, count_total(counts)) / kLn2;
}

}  // namespace

double joint_entropy(Span x, Span y, std::uint64_t n_bins) { return joint_entropy_inner(x, y, n_bins); }

double conditional_entropy(Span x, Span y, std::uint64_t n_bins) {
    const std::size_t n = std::min(x.len, y.len);
    if (n < 2) return std::numeric_limits<double>::quiet_NaN();
    // The ranges of the first n values, shared by the joint and marginal terms.
    const Span xs = x.first(n), ys = y.first(n);
    const SampleRange ry = sample_range(ys);
    const double h_xy = joint_entropy_bits(xs, sample_range(xs), ys, ry, n, n_bins);
    const double h_y = marginal_bits(ys, ry, n_bins);
    return h_xy - h_y;
}

double information_gain(Span x, Span y, std::uint64_t n_bins) {
    const std::size_t n = std::min(x.len, y.len);
    if (n < 2) return std::numeric_limits<double>::quiet_NaN();
    const Span xs = x.first(n), ys = y.first(n);
    const SampleRange rx = sample_range(xs), ry = sample_range(ys);
    const double h_x = marginal_bits(xs, rx, n_bins);
    const double h_xy = joint_entropy_bits(xs, rx, ys, ry, n, n_bins);
    const double h_y = marginal_bits(ys, ry, n_bins);
    return h_x - (h_xy - h_y);
}

}  // namespace zelmo
