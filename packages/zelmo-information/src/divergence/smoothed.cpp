// The divergences with a pseudo-count in every bin of both histograms, over
// every value of both samples (NaN in bin 0; an infinity collapses the grid).
#include <cmath>

#include "divergence.hpp"
#include "paired.hpp"

namespace zelmo {

namespace {

constexpr double kPseudoCount = 1e-10;

// sum over bins in order of (count + 1e-10).
double smoothed_total(const Counts& c) {
    double total = 0.0;
    for (std::uint64_t v : c) total = total + (static_cast<double>(v) + kPseudoCount);
    return total;
}

}  // namespace

double kl_divergence(Span p, Span q, std::uint64_t n_bins) {
    const PairedCounts c = paired_histograms(p, q, n_bins);
    const double tp = smoothed_total(c.p);
    const double tq = smoothed_total(c.q);
    double d = 0.0;
    for (std::uint64_t i = 0; i < n_bins; ++i) {
        const double pi = (static_cast<double>(c.p[i]) + kPseudoCount) / tp;
        const double qi = (static_cast<double>(c.q[i]) + kPseudoCount) / tq;
        d = d + pi * std::log(pi / qi);
    }
    return d;
}

double js_divergence(Span p, Span q, std::uint64_t n_bins) {
    const PairedCounts c = paired_histograms(p, q, n_bins);
    const double tp = smoothed_total(c.p);
    const double tq = smoothed_total(c.q);
    double a = 0.0;
    double b = 0.0;
    for (std::uint64_t i = 0; i < n_bins; ++i) {
        const double pi = (static_cast<double>(c.p[i]) + kPseudoCount) / tp;
        const double qi = (static_cast<double>(c.q[i]) + kPseudoCount) / tq;
        const double mi = (pi + qi) * 0.5;
        a = a + pi * std::log2(pi / mi);
        b = b + qi * std::log2(qi / mi);
    }
    // The divergence is never negative, but rounding can leave the sum of
    // two near-equal distributions just below 0.0, where the distance
    // sqrt(JS) would be NaN: such a sum is +0.0.
    const double js = a * 0.5 + b * 0.5;
    return js < 0.0 ? 0.0 : js;
}

}  // namespace zelmo
