// Entropies of one sample, from the equal-width histogram of its finite
// values. n_bins < 0 selects the automatic bin count max(10, floor(sqrt(m))).
#pragma once

#include <cstdint>

#include "../kernels/support.hpp"

namespace zelmo {

// Shannon entropy in base `base`; NaN for fewer than two finite values.
double shannon_entropy(Span data, std::int64_t n_bins, double base);

// Renyi entropy of order alpha in base `base` (Shannon within 1e-10 of 1).
double renyi_entropy(Span data, double alpha, std::int64_t n_bins, double base);

// Tsallis entropy of index q (Shannon, in nats, within 1e-10 of 1).
double tsallis_entropy(Span data, double q, std::int64_t n_bins);

}  // namespace zelmo
