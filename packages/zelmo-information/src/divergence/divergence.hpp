// Comparisons of two samples binned on one shared equal-width grid.
#pragma once

#include <cstdint>

#include "../kernels/support.hpp"

namespace zelmo {

// D(p || q) in nats, with a pseudo-count of 1e-10 in every bin.
double kl_divergence(Span p, Span q, std::uint64_t n_bins);

// Jensen-Shannon divergence in bits, smoothed as kl_divergence; a sum that
// rounds below 0.0 gives +0.0.
double js_divergence(Span p, Span q, std::uint64_t n_bins);

// Over the finite values only; n_bins < 0 selects the automatic count from
// the larger sample; NaN when either sample has no finite value.
double hellinger_distance(Span p, Span q, std::int64_t n_bins);
double total_variation_distance(Span p, Span q, std::int64_t n_bins);
double cross_entropy(Span p, Span q, std::int64_t n_bins, double base);

}  // namespace zelmo
