// The Gaussian copula of a series: each value replaced by the standard
// normal quantile of its rank, Phi^-1(r / (n + 1)), with r the value's rank
// among the n present values of its row (1 .. n; tied values share the
// mean of their ranks). The result has normal margins and keeps every
// monotonic relation between series, so the Gaussian estimator on it
// measures monotonic couplings however nonlinear.
#pragma once

#include <cstddef>

#include "../parallel.hpp"

namespace zelmo::network {

// Phi^-1(p) for 0 < p < 1, by Wichura's algorithm AS 241 (PPND16, relative
// error about 1e-16).
double normal_quantile(double p);

// Writes the normal scores of every row of `values` (rows x length, row
// after row) to `out`; NaN and infinities are missing and stay NaN.
void copula_rows(const double* values, std::size_t rows, std::size_t length, double* out, Pool& pool);

}  // namespace zelmo::network
