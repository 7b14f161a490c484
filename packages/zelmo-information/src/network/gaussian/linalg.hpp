// The arithmetic of the Gaussian estimator: dot products in one fixed order
// (so that a value repeats to the last bit on any machine and any number of
// threads), conditional mutual information from a covariance matrix by a
// Cholesky factorisation, and the chi-squared survival function of its
// analytic null.
#pragma once

#include <cstddef>

namespace zelmo::network::gaussian {

// Residual variances below this fraction of a variable's own variance count
// as zero: the variable is then treated as determined by the variables
// before it (a constant series, or an exactly collinear one, adds nothing),
// and a target determined by its context has nothing left to explain. The
// largest value a source can then show is 1/2 log2(1e12), about 19.93 bits.
inline constexpr double kCollinear = 1e-12;

// out[c] = sum_t x[t] * cols[c][t] over t < n, for c < count. Every sum is
// formed in one order: four running sums, of the terms t = 0, 1, 2, 3 mod 4
// below n rounded down to a multiple of 4, each term fused into its sum
// (one rounding per term), added as (s0 + s1) + (s2 + s3), then the
// remaining terms fused in one at a time. An AVX2 body is chosen at run
// time where the processor has it; both bodies give identical results.
void dots(const double* x, const double* const* cols, std::size_t count, std::size_t n, double* out);

// dots in pieces. dots_advance adds to lanes[4 c + l] (zero to start) the
// terms t = l mod 4 of x[t] * cols[c][t] for t < steps, a multiple of four,
// as dots forms its four running sums; pieces taken one after another give
// the running sums of one call. dots_finish adds the four lanes of one
// column and then the terms x[t] * y[t] for t < tail as dots does: dots(x,
// cols, count, n) is dots_finish(lanes + 4 c, x + body, cols[c] + body,
// n - body) after dots_advance over body = n rounded down to four.
void dots_advance(const double* x, const double* const* cols, std::size_t count, std::size_t steps, double* lanes);
double dots_finish(const double* lanes, const double* x, const double* y, std::size_t tail);
// dots_advance of two rows against the same columns and, as column
// `count`, each against itself: lanes0 (4 (count + 1) values) for x0,
// lanes1 for x1, each as from dots_advance alone (an AVX-512 body, where
// the processor has it, holds both rows' lanes in one register).
void dots_advance2(const double* x0, const double* x1, const double* const* cols, std::size_t count,
                   std::size_t steps, double* lanes0, double* lanes1);

// sum_t x[t] in the same order (the terms are x[t] * 1.0).
double total(const double* x, std::size_t n);

// The same products as dots, each summed as if in twice the precision
// (Ogita, Rump and Oishi's Dot2: every product split exactly into its
// rounded value and error with a fused multiply-add, every addition's
// error recovered and carried), then rounded once: the result is as
// accurate as the data allow, whatever the cancellation, at several times
// the arithmetic. Four running pairs as in dots; identical results from
// both bodies.
void accurate_dots(const double* x, const double* const* cols, std::size_t count, std::size_t n, double* out);

// The running state of accurate_dots for two rows x0 and x1 against one
// column: the four lanes' running sums and carried errors, x0's lanes first.
// Zero-initialised, it is the state before the first step.
struct Dot2Pair {
    double sum[8] = {};
    double carry[8] = {};
};

// Advances states[c] by the products of x0 and x1 with cols[c] over the
// steps [from, to), both multiples of four, for c < count. The steps may be
// taken in pieces (a cache-sized piece of every row at a time) and the
// state is the same as in one go; the AVX2 and AVX-512 bodies give the
// scalar body's states.
void accurate_dots_advance(const double* x0, const double* x1, const double* const* cols, std::size_t count,
                           std::size_t from, std::size_t to, Dot2Pair* states);

// accurate_dots' value for x = x0 (second false) or x1 against y, from a
// state advanced over the steps below n rounded down to a multiple of four.
double accurate_dots_finish(const Dot2Pair& state, bool second, const double* x, const double* y, std::size_t n);

// I(X; Y | Z) in nats from the covariance matrix `cov` (row-major, d x d,
// d = dz + dx + 1) of the variables in the order Z (dz of them), X (dx),
// Y (one): 1/2 log(var(Y | Z) / var(Y | Z, X)), from a Cholesky
// factorisation in that order. A variable whose residual variance given
// those before it is at most kCollinear times its variance is dropped;
// var(Y | Z) at most kCollinear var(Y) gives 0; var(Y | Z, X) is floored at
// kCollinear var(Y). Never negative or NaN (NaN entries give 0). `work`
// holds d * d doubles of scratch.
double conditional_mutual_information(const double* cov, std::size_t dz, std::size_t dx, double* work);

// The upper tail P(chi^2_k >= x) of the chi-squared distribution with k
// degrees of freedom (k >= 1): the regularised upper incomplete gamma
// function Q(k / 2, x / 2), by its series below x / 2 < k / 2 + 1 and its
// continued fraction above. 1 for x <= 0.
double chi2_survival(double x, std::size_t k);

}  // namespace zelmo::network::gaussian
