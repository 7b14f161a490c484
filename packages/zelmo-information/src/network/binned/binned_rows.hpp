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

// What binning does with NaN and infinities: bin them as the single-pair
// functions do, refuse them, or mark them missing (each row then binned
// over the range of its finite values).
enum class Nonfinite { bin, reject, skip };

// Whether every value is finite (no NaN, no infinity).
bool all_finite(Span s);

// What binning one row found.
struct RowBinning {
    bool refused = false;   // a NaN or an infinity, refused
    bool constant = false;  // a range below the constant-range threshold
    bool missing = false;   // a sample marked missing
};

class BinnedRows {
public:
    // Bins every row of `signals` into n_bins bins, rows in parallel on
    // `pool`. With Nonfinite::reject, a row holding NaN or an infinity
    // throws std::invalid_argument naming the first such row.
    BinnedRows(const StridedMatrix& signals, std::uint64_t n_bins, Nonfinite nonfinite, Pool& pool);

    // Bins one row as the constructor does into out[0 .. row.len), 32-bit
    // when narrow_for(n_bins), else 64-bit; with Nonfinite::skip a missing
    // sample gets `missing_bin` and, when `present` is given, flag 0 there
    // (1 elsewhere). A refused row (Nonfinite::reject) is left unwritten.
    static RowBinning bin_row(Span row, std::uint64_t n_bins, Nonfinite nonfinite, void* out,
                              std::uint64_t missing_bin, std::uint8_t* present);
    // Throws the error of a refused row, named by its index.
    [[noreturn]] static void refuse(std::size_t row);

    // Rows binned before, with each row's flag of a constant range. Every
    // index must lie below n_bins (below 1 for n_bins = 0), or equal
    // missing_code() for a missing sample, else std::invalid_argument.
    BinnedRows(const CodeMatrix& codes, const std::uint8_t* constant, std::uint64_t n_bins, Pool& pool);

    // The code that marks a missing sample in copy_to and in codes read
    // back: one past the last bin. n_bins = 2^64 - 1 has none.
    std::uint64_t missing_code() const { return n_bins_ == 0 ? 1 : n_bins_; }

    std::size_t rows() const { return rows_; }
    std::size_t length() const { return length_; }
    std::uint64_t n_bins() const { return n_bins_; }

    // Whether the bins are stored as 32-bit integers (n_bins up to 2^31).
    bool narrow() const { return narrow_bins_; }
    static bool narrow_for(std::uint64_t n_bins);
    const std::uint32_t* bins32(std::size_t i) const { return narrow_.data() + i * length_; }
    std::uint32_t* bins32(std::size_t i) { return narrow_.data() + i * length_; }
    const std::uint64_t* bins64(std::size_t i) const { return wide_.data() + i * length_; }
    // The bins of row i as 64-bit integers, into out[0 .. length).
    void widen(std::size_t i, std::uint64_t* out) const;
    // Every row's bins, row after row, into out[0 .. rows * length): 32-bit
    // when narrow(), else 64-bit; a missing sample as missing_code().
    void copy_to(void* out) const;

    // Whether any sample is missing, whether row i has one, and row i's
    // flags (1: present), when any is missing. A missing sample's bin is 0.
    bool any_missing() const { return any_missing_; }
    bool row_missing(std::size_t i) const { return row_missing_[i] != 0; }
    const std::uint8_t* present(std::size_t i) const { return present_.data() + i * length_; }

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
    Buffer<std::uint8_t> present_;      // rows x length, only when a sample is missing
    Buffer<std::uint8_t> row_missing_;  // per row
    bool any_missing_ = false;

    void note_missing(const Buffer<std::uint8_t>& rows_with_missing);
};

}  // namespace zelmo::network
