// The rows of a two-dimensional array of series, each binned once by the
// scaled rule over its own range, as the single-pair measures bin a whole
// series. Every pairwise computation of the network module reads these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../../kernels/support.hpp"
#include "../parallel.hpp"

namespace zelmo::network {

// Bin indices binned elsewhere: rows x cols unsigned integers of `bits`
// (8, 16, 32 or 64) bits each, row after row.
struct CodeMatrix {
    const void* data = nullptr;
    unsigned bits = 64;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

class BinnedRows {
public:
    // Bins every row of `signals` into n_bins bins, rows in parallel on
    // `pool`. With `reject_nonfinite`, a row holding NaN or an infinity
    // throws std::invalid_argument naming the first such row.
    BinnedRows(const StridedMatrix& signals, std::uint64_t n_bins, bool reject_nonfinite, Pool& pool);

    // Rows binned before, with each row's flag of a constant range. Every
    // index must lie below n_bins (below 1 for n_bins = 0), else
    // std::invalid_argument.
    BinnedRows(const CodeMatrix& codes, const std::uint8_t* constant, std::uint64_t n_bins, Pool& pool);

    std::size_t rows() const { return rows_; }
    std::size_t length() const { return length_; }
    std::uint64_t n_bins() const { return n_bins_; }

    // Whether the bins are stored as 32-bit integers (n_bins up to 2^31).
    bool narrow() const { return narrow_bins_; }
    const std::uint32_t* bins32(std::size_t i) const { return narrow_.data() + i * length_; }
    std::uint32_t* bins32(std::size_t i) { return narrow_.data() + i * length_; }
    const std::uint64_t* bins64(std::size_t i) const { return wide_.data() + i * length_; }
    // The bins of row i as 64-bit integers, into out[0 .. length).
    void widen(std::size_t i, std::uint64_t* out) const;
    // Every row's bins, row after row, into out[0 .. rows * length): 32-bit
    // when narrow(), else 64-bit.
    void copy_to(void* out) const;

    // Whether row i's range is below the constant-range threshold.
    bool constant(std::size_t i) const { return constant_[i] != 0; }

private:
    BinnedRows(std::size_t rows, std::size_t length, std::uint64_t n_bins);

    std::size_t rows_, length_;
    std::uint64_t n_bins_;
    bool narrow_bins_;
    Buffer<std::uint32_t> narrow_;
    Buffer<std::uint64_t> wide_;
    Buffer<std::uint8_t> constant_;
};

}  // namespace zelmo::network
