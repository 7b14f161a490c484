#include <algorithm>
#include <limits>

#include "../kernels/histogram.hpp"
#include "../kernels/joint_entropy.hpp"
#include "dependence.hpp"

namespace zelmo {

namespace {

constexpr double kLn2 = 0.6931471805599453;

// Entropy in bits of the equal-width histogram of `s`.
double marginal_bits(Span s, std::uint64_t n_bins) {
    const Counts counts = histogram_1d(s, n_bins);
    return entropy_nats(counts, count_total(counts)) / kLn2;
}

}  // namespace

double joint_entropy(Span x, Span y, std::uint64_t n_bins) { return joint_entropy_inner(x, y, n_bins); }

double conditional_entropy(Span x, Span y, std::uint64_t n_bins) {
    const std::size_t n = std::min(x.len, y.len);
    if (n < 2) return std::numeric_limits<double>::quiet_NaN();
    const double h_xy = joint_entropy_inner(x.first(n), y.first(n), n_bins);
    const double h_y = marginal_bits(y.first(n), n_bins);
    return h_xy - h_y;
}

double information_gain(Span x, Span y, std::uint64_t n_bins) {
    const std::size_t n = std::min(x.len, y.len);
    if (n < 2) return std::numeric_limits<double>::quiet_NaN();
    const double h_x = marginal_bits(x.first(n), n_bins);
    const double h_xy = joint_entropy_inner(x.first(n), y.first(n), n_bins);
    const double h_y = marginal_bits(y.first(n), n_bins);
    return h_x - (h_xy - h_y);
}

}  // namespace zelmo
