// Entropies of one sample, from the equal-width histogram of its finite values.
#pragma once

#include <cstdint>

#include "../kernels/support.hpp"

namespace zelmo {

// Shannon entropy in base `base`; n_bins < 0 selects the automatic bin count.
// NaN for fewer than two finite values.
double shannon_entropy(Span data, std::int64_t n_bins, double base);

}  // namespace zelmo
