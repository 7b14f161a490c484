// Transfer entropy between two binned rows, exactly as the single-pair
// function computes it from the same two series (the same bins, the same
// choice of counting path, the same order of summation). One per thread.
#pragma once

#include <cstdint>
#include <optional>

#include "../../kernels/transfer_entropy.hpp"
#include "binned_rows.hpp"

namespace zelmo::network {

// Whether series of `length` steps count any step at `history`: the
// single-pair function returns 0.0 without counting otherwise.
inline bool transfer_counts_steps(std::size_t length, std::uint64_t history) {
    return length >= 3 && length > history;
}

class TransferPairs {
public:
    TransferPairs(const BinnedRows& rows, std::uint64_t history);

    // T(row source -> row target), clamped at 0. The rows must count steps.
    double estimate(std::size_t source, std::size_t target);

private:
    const BinnedRows& rows_;
    std::uint64_t history_;
    std::size_t count_;
    NarrowTransfer narrow_;
    // The sorted path's codes (the narrow paths need none).
    std::optional<PastWeights> weights_;
    Buffer<std::uint64_t> source_bins_, target_bins_, source_past_, target_past_;
};

}  // namespace zelmo::network
