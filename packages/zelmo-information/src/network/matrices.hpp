// All-pairs matrices over binned rows, computed on a pool of threads. Every
// entry is the number the single-pair measure gives for the same two rows,
// to the last bit, whatever the number of threads.
#pragma once

#include <cstdint>

#include "binned_rows.hpp"
#include "parallel.hpp"

namespace zelmo::network {

// out[i * m + j] = T(row i -> row j) for i != j, 0.0 on the diagonal.
void transfer_entropy_matrix(const BinnedRows& rows, std::uint64_t history, Pool& pool, double* out);

// out[i * m + j] = I(row i; row j) for i <= j, mirrored below the diagonal.
// The rows' bins are replaced by their ranks among the row's distinct bins.
// Needs n_bins in [1, 2^31].
void mutual_information_matrix(BinnedRows& rows, Pool& pool, double* out);

// The pair (source, target) of unit u of the m (m - 1) ordered pairs with
// source != target, in row-major order.
inline void ordered_pair(std::size_t u, std::size_t m, std::size_t& source, std::size_t& target) {
    source = u / (m - 1);
    const std::size_t k = u % (m - 1);
    target = k < source ? k : k + 1;
}

}  // namespace zelmo::network
