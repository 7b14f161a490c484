// The joint-entropy kernel: Shannon entropy, in bits, of two samples binned
// by the scaled rule over their own ranges and counted in a dense table.
#pragma once

#include "range.hpp"
#include "support.hpp"

namespace zelmo {

// Entropy of the pairs (x[i], y[i]) for i < n = min(|x|, |y|), each sample
// binned with scaled_bin_index over the range of all of its values (also
// those beyond n). NaN when n < 2. Panics with "capacity overflow" when the
// n_bins x n_bins table cannot be addressed and with an index-out-of-bounds
// message for n_bins = 0.
double joint_entropy_inner(Span x, Span y, std::uint64_t n_bins);

// The same entropy of the first n >= 2 pairs, binned with the given ranges.
double joint_entropy_bits(Span x, SampleRange rx, Span y, SampleRange ry, std::size_t n, std::uint64_t n_bins);

// The counts of the x bins and of the y bins of the pairs.
struct Marginals {
    Counts x;
    Counts y;
};

// The dense n_bins x n_bins pair table (x bin as the row) of the first n
// values of x and y, binned with the given ranges, and (when asked for) the
// marginal counts, which equal the table's row and column sums. Checks the
// table size before anything is counted.
Counts pair_table(Span x, SampleRange rx, Span y, SampleRange ry, std::size_t n, std::uint64_t n_bins,
                  Marginals* marginals);

// -sum p log2 p over the non-zero cells in index order, p = c / total.
double entropy_bits(const std::uint64_t* counts, std::size_t cells, double total);

}  // namespace zelmo
