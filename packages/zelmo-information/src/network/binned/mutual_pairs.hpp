// The binned mutual information of every pair of a few rows, pair by pair:
// each pair binned and counted in one pass over its values by the
// single-pair kernel, and each row's information with itself taken from
// the bin counts of a pair it is in. Cheaper than binning and storing every
// row when the rows are few; equal to the matrix, bit for bit.
#pragma once

#include <cstdint>
#include <functional>

#include "../../kernels/support.hpp"
#include "../parallel.hpp"
#include "binned_rows.hpp"

namespace zelmo::network {

// Fills out[m * m] (row-major, mirrored) from m contiguous rows of `length`
// values. Nonfinite::reject throws the error of the first row holding NaN
// or an infinity; Nonfinite::bin bins them as the single-pair function
// does (Nonfinite::skip is not taken here). The work goes in rounds of one
// unit (a row or a pair) per thread, with between() called between rounds.
void mutual_information_pairs(const double* rows, std::size_t m, std::size_t length, std::uint64_t n_bins,
                              Nonfinite nonfinite, Pool& pool, const std::function<void()>& between,
                              double* out);

}  // namespace zelmo::network
