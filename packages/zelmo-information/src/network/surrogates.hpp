// Significance of transfer entropy by surrogate data. For every ordered pair
// (i, j) the source row i is replaced by `surrogates` surrogates (rotated or
// shuffled copies that keep its values but break its timing against the
// target), and the transfer entropy of each surrogate into row j forms the
// null distribution of the pair's observed value.
#pragma once

#include <cstdint>

#include "binned_rows.hpp"
#include "matrices.hpp"
#include "parallel.hpp"

namespace zelmo::network {

enum class Method {
    // The source rotated left by d steps, source'(t) = source((t + d) mod L),
    // with d uniform in [history + 1, L - history - 1]: keeps the source's
    // own dynamics (its autocorrelation) and moves it against the target.
    shift,
    // The source's samples in a uniformly random order (Fisher-Yates).
    shuffle,
};

struct TestSettings {
    std::uint64_t history = 1;
    std::uint64_t surrogates = 1000;
    Method method = Method::shift;
    std::uint64_t seed = 0;
};

// Where the results go: sources x targets arrays of the tile, row-major.
struct TestOutput {
    double* te;         // the transfer entropy, as the single-pair function gives it
    double* p_values;   // (1 + #{null >= observed}) / (1 + surrogates); NaN on the diagonal
    double* null_mean;  // mean of the null values; NaN on the diagonal
    double* null_std;   // their standard deviation (divided by the count); NaN on the diagonal
};

// The draws of surrogate k of pair (i, j) come from Philox4x64-10 keyed by
// (seed, method) with counter (i, j, k, block), i and j the rows' keys, so
// every value depends only on the seed and the indices, never on the
// threads, the tiles or the order of work.
// Observed and null values are compared in the exact fixed-point form of
// fixed_point.hpp. Method::shift needs length >= 2 * history + 2 where the
// rows count steps at all (std::invalid_argument otherwise).
void transfer_entropy_test(const BinnedRows& rows, const Tile& tile, const TestSettings& settings, Pool& pool,
                           const TestOutput& out);

}  // namespace zelmo::network
