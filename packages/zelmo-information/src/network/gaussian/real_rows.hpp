// Rows of real values as the continuous estimators read them: a private
// copy of every row, scaled by a power of two and centred over its finite
// values (an affine map of a series changes no Gaussian or rank-based
// information), with the missing samples (NaN and infinities) marked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../kernels/support.hpp"
#include "../engine/statistic.hpp"
#include "../philox.hpp"
#include "../parallel.hpp"

namespace zelmo::network {

class RealRows {
public:
    // Copies the rows of `values` (rows x length, row after row). Missing
    // samples read as 0.0 and are flagged. With `standardise` each row's
    // finite values are scaled by the power of two that brings the largest
    // magnitude into [1, 2) (exactly) and centred; without it they are kept
    // as given.
    RealRows(const double* values, std::size_t rows, std::size_t length, bool standardise, Pool& pool);

    std::size_t rows() const { return rows_; }
    std::size_t length() const { return length_; }
    const double* row(std::size_t i) const { return values_.data() + i * length_; }
    // Whether any sample of any row is missing, and if so which.
    bool any_missing() const { return any_missing_; }
    bool missing(std::size_t i) const { return missing_[i] != 0; }
    const std::uint8_t* valid(std::size_t i) const { return valid_.data() + i * length_; }

private:
    std::size_t rows_, length_;
    Buffer<double> values_;
    Buffer<std::uint8_t> valid_;
    Buffer<std::uint8_t> missing_;  // per row
    bool any_missing_ = false;
};

// Which steps of the window have the values of every column present (the
// rows having missing samples): a flag per step into `valid`, and whether
// every step has them.
bool present_steps(const RealRows& rows, const std::vector<Candidate>& columns, const Window& window,
                   Buffer<std::uint8_t>& valid);

// A row's values in the order of one shuffle, with its presence flags
// shuffled alike when any sample is missing.
struct ShuffledReals {
    Buffer<double> values;
    Buffer<std::uint8_t> valid;
};

ShuffledReals shuffle_row(const RealRows& rows, std::size_t row, const Draws& draws);

}  // namespace zelmo::network
