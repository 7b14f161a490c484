// The comparisons over finite values, each histogram divided by its own
// count plus 1e-12 (no pseudo-counts: empty bins have probability 0).
#include <cmath>
#include <limits>

#include "divergence.hpp"
#include "paired.hpp"

namespace zelmo {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

double hellinger_distance(Span p, Span q, std::int64_t n_bins) {
    const auto c = finite_paired_histograms(p, q, n_bins);
    if (!c) return kNaN;
    double s = 0.0;
    for (std::size_t i = 0; i < c->counts.p.size(); ++i) {
        const double d = std::sqrt(static_cast<double>(c->counts.p[i]) / c->p_norm) -
                         std::sqrt(static_cast<double>(c->counts.q[i]) / c->q_norm);
        s = s + d * d;
    }
    return std::sqrt(s * 0.5);
}

double total_variation_distance(Span p, Span q, std::int64_t n_bins) {
    const auto c = finite_paired_histograms(p, q, n_bins);
    if (!c) return kNaN;
    double s = 0.0;
    for (std::size_t i = 0; i < c->counts.p.size(); ++i) {
        s = s + std::fabs(static_cast<double>(c->counts.p[i]) / c->p_norm -
                          static_cast<double>(c->counts.q[i]) / c->q_norm);
    }
    return s * 0.5;
}

double cross_entropy(Span p, Span q, std::int64_t n_bins, double base) {
    constexpr double kFloor = 1e-12;
    const auto c = finite_paired_histograms(p, q, n_bins);
    if (!c) return kNaN;
    double h = 0.0;
    for (std::size_t i = 0; i < c->counts.p.size(); ++i) {
        const double pi = static_cast<double>(c->counts.p[i]) / c->p_norm;
        if (!(pi > 0.0)) continue;
        const double qi = std::fmax(static_cast<double>(c->counts.q[i]) / c->q_norm, kFloor);
        h = h - pi * std::log(qi);
    }
    return h / std::log(base);
}

}  // namespace zelmo
