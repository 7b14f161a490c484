// Dependence between variables, in bits: joint and conditional entropy,
// information gain, mutual and conditional mutual information, and transfer
// entropy for one pair of series or every ordered pair of rows.
#pragma once

#include <cstdint>
#include <vector>

#include "../kernels/joint_entropy.hpp"
#include "../kernels/range.hpp"
#include "../kernels/support.hpp"

namespace zelmo {

// H(X, Y) over all of x and y (ranges over the whole arrays).
double joint_entropy(Span x, Span y, std::uint64_t n_bins);

// H(X, Y) - H(Y) over the first n = min(|x|, |y|) values; the marginal comes
// from the equal-width histogram, the joint term from the scaled rule.
double conditional_entropy(Span x, Span y, std::uint64_t n_bins);

// H(X) - (H(X, Y) - H(Y)) over the first n values, binned as above.
double information_gain(Span x, Span y, std::uint64_t n_bins);

// I(X; Y) from the dense pair table of the first n values, clamped at 0.
double mutual_information(Span x, Span y, std::uint64_t n_bins);

// The pieces of mutual_information, for callers that bin a pair once and
// want more from it: the pair table of the first n values binned with the
// given ranges, with its marginal counts; the clamped sum over a table; and
// the sum of a series with itself from its bin counts alone (equal, bit for
// bit, to mutual_information of the series with itself).
Counts pair_table_with_marginals(Span x, SampleRange rx, Span y, SampleRange ry, std::size_t n,
                                 std::uint64_t n_bins, Marginals& m);
double mutual_information_of(const Counts& table, const Marginals& m, std::uint64_t n_bins, std::size_t n);
double self_mutual_information(const Counts& counts, std::uint64_t n_bins, std::size_t n);

// I(X; Y | Z) = H(X,Z) + H(Y,Z) - H(X,Y,Z) - H(Z) over the first n values,
// clamped at 0.
double cond_mutual_information(Span x, Span y, Span z, std::uint64_t n_bins);

// T(source -> target).
double transfer_entropy(Span source, Span target, std::uint64_t n_bins, std::uint64_t history);

// Called by the batch before each pair, so that the caller can stop a long
// batch: it stops it by throwing, and the batch frees everything it holds
// on the way out.
using BetweenPairs = void (*)();

// The m x m matrix (row-major, source row first) of transfer entropies
// between the rows of `signals`, zero on the diagonal. Panics with
// "capacity overflow" when m * m cells cannot be addressed.
std::vector<double> batch_transfer_entropy(const StridedMatrix& signals, std::uint64_t n_bins,
                                           std::uint64_t history, BetweenPairs between_pairs);

}  // namespace zelmo
