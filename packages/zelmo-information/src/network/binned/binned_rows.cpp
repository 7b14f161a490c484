#include "binned_rows.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../kernels/binning.hpp"
#include "../../kernels/range.hpp"
#include "../../kernels/stop.hpp"
#include "../../kernels/vector_ops.hpp"

namespace zelmo::network {

namespace {

// Row i as a contiguous span: the array's own memory when the row is
// contiguous and aligned, else a copy read through the strides.
Span row_span(const StridedMatrix& m, std::size_t i, Buffer<double>& copy) {
    const char* start = m.data + static_cast<std::ptrdiff_t>(i) * m.row_stride;
    if (m.col_stride == static_cast<std::ptrdiff_t>(sizeof(double)) &&
        reinterpret_cast<std::uintptr_t>(start) % alignof(double) == 0) {
        return Span{reinterpret_cast<const double*>(start), m.cols};
    }
    for (std::size_t t = 0; t < m.cols; ++t) copy[t] = m.at(i, t);
    return Span{copy.data(), m.cols};
}

}  // namespace

bool all_finite(Span s) {
    // NaN and the infinities are the values whose exponent bits are all set.
    constexpr std::uint64_t kExponent = 0x7FF0000000000000ULL;
    std::uint64_t nonfinite = 0;
    for (std::size_t t = 0; t < s.len; ++t) {
        std::uint64_t bits;
        std::memcpy(&bits, s.data + t, sizeof bits);
        nonfinite |= (bits & kExponent) == kExponent;
    }
    return nonfinite == 0;
}

BinnedRows::BinnedRows(std::size_t rows, std::size_t length, std::uint64_t n_bins)
    : rows_(rows), length_(length), n_bins_(n_bins), narrow_bins_(narrow_for(n_bins)) {
    if (rows_ != 0 && length_ > SIZE_MAX / rows_) throw std::bad_alloc();
    const std::size_t cells = rows_ * length_;
    if (narrow_bins_) {
        narrow_ = Buffer<std::uint32_t>::uninitialised(cells);
    } else {
        wide_ = Buffer<std::uint64_t>::uninitialised(cells);
    }
    constant_ = Buffer<std::uint8_t>::zeroed(rows_);
}

bool BinnedRows::narrow_for(std::uint64_t n_bins) { return n_bins <= vec::kMaxVectorBins; }

RowBinning BinnedRows::bin_row(Span row, std::uint64_t n_bins, Nonfinite nonfinite, void* out,
                                std::uint64_t missing_bin, std::uint8_t* present) {
    RowBinning found;
    const bool skip = nonfinite == Nonfinite::skip;
    const bool narrow = narrow_for(n_bins);
    const std::size_t length = row.len;
    if (nonfinite == Nonfinite::reject && !all_finite(row)) {
        found.refused = true;
        return found;
    }
    // Skipping: the row's range is that of its finite values. The range
    // and the bins a piece at a time, with a stop point before each.
    SampleRange range{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
    for_pieces(length, [&](std::size_t begin, std::size_t end) {
        if (skip) {
            vec::fold_finite_range(row.data + begin, end - begin, range);
        } else {
            vec::fold_range(row.data + begin, end - begin, range);
        }
    });
    found.constant = range.constant();
    auto* narrow_out = static_cast<std::uint32_t*>(out);
    auto* wide_out = static_cast<std::uint64_t*>(out);
    for_pieces(length, [&](std::size_t begin, std::size_t end) {
        const Span piece{row.data + begin, end - begin};
        if (narrow) {
            bin_scaled_narrow(piece, range, n_bins, narrow_out + begin);
        } else {
            bin_scaled(piece, range, n_bins, wide_out + begin);
        }
    });
    if (skip) {
        for (std::size_t t = 0; t < length; ++t) {
            const bool ok = std::isfinite(row.data[t]);
            if (present != nullptr) present[t] = ok ? 1 : 0;
            if (ok) continue;
            found.missing = true;
            if (narrow) {
                narrow_out[t] = static_cast<std::uint32_t>(missing_bin);
            } else {
                wide_out[t] = missing_bin;
            }
        }
    }
    return found;
}

void BinnedRows::refuse(std::size_t row) {
    throw std::invalid_argument("row " + std::to_string(row) +
                                " of signals holds NaN or an infinity; clean the data, or pass "
                                "nonfinite='skip' to leave out the steps that use such values");
}

BinnedRows::BinnedRows(const StridedMatrix& signals, std::uint64_t n_bins, Nonfinite nonfinite, Pool& pool)
    : BinnedRows(signals.rows, signals.cols, n_bins) {
    const bool skip = nonfinite == Nonfinite::skip;
    Buffer<std::uint8_t> refused = Buffer<std::uint8_t>::zeroed(rows_);
    Buffer<std::uint8_t> missing = Buffer<std::uint8_t>::zeroed(rows_);
    if (skip) present_ = Buffer<std::uint8_t>::uninitialised(rows_ * length_);
    std::vector<Buffer<double>> copies(pool.workers());
    pool.run(rows_, [&](std::size_t i, unsigned slot) {
        if (copies[slot].size() == 0) copies[slot] = Buffer<double>::uninitialised(length_);
        const Span row = row_span(signals, i, copies[slot]);
        void* out = narrow_bins_ ? static_cast<void*>(narrow_.data() + i * length_)
                                 : static_cast<void*>(wide_.data() + i * length_);
        const RowBinning found = bin_row(row, n_bins_, nonfinite, out, 0, skip ? present_.data() + i * length_ : nullptr);
        refused[i] = found.refused;
        missing[i] = found.missing;
        constant_[i] = found.constant;
        return std::uint64_t{0};
    });
    for (std::size_t i = 0; i < rows_; ++i) {
        if (refused[i]) refuse(i);
    }
    note_missing(missing);
}

BinnedRows::BinnedRows(const CodeMatrix& codes, const std::uint8_t* constant, std::uint64_t n_bins, Pool& pool)
    : BinnedRows(codes.rows, codes.cols, n_bins) {
    const std::uint64_t bound = n_bins == 0 ? 1 : n_bins;
    const std::uint64_t gap = missing_code();
    Buffer<std::uint8_t> out_of_range = Buffer<std::uint8_t>::zeroed(rows_);
    Buffer<std::uint8_t> missing = Buffer<std::uint8_t>::zeroed(rows_);
    present_ = Buffer<std::uint8_t>::uninitialised(rows_ * length_);
    // Row i widened from `From` into `To`: whether an index lies beyond
    // n_bins, and whether one marks a missing sample (bin 0 in its place).
    // The presence flags of a row are written only when it has a gap (the
    // others are filled below if any row has one): most rows have none.
    auto widen_row = [&]<class From, class To>(std::size_t i, To* out) {
        const From* in = static_cast<const From*>(codes.data) + i * length_;
        bool beyond = false, gaps = false;
        for (std::size_t t = 0; t < length_; ++t) {
            const std::uint64_t v = in[t];
            const bool absent = v == gap;
            gaps = gaps || absent;
            beyond = beyond || (v >= bound && !absent);
            out[t] = absent ? To{0} : static_cast<To>(v);
        }
        if (gaps) {
            std::uint8_t* ok = present_.data() + i * length_;
            for (std::size_t t = 0; t < length_; ++t) ok[t] = in[t] == gap ? 0 : 1;
        }
        missing[i] = gaps;
        return beyond;
    };
    auto widen_to = [&]<class To>(std::size_t i, To* out) {
        switch (codes.bits) {
            case 8: return widen_row.template operator()<std::uint8_t, To>(i, out);
            case 16: return widen_row.template operator()<std::uint16_t, To>(i, out);
            case 32: return widen_row.template operator()<std::uint32_t, To>(i, out);
            default: return widen_row.template operator()<std::uint64_t, To>(i, out);
        }
    };
    pool.run(rows_, [&](std::size_t i, unsigned) {
        constant_[i] = constant[i] != 0;
        out_of_range[i] = narrow_bins_ ? widen_to(i, narrow_.data() + i * length_)
                                       : widen_to(i, wide_.data() + i * length_);
        return std::uint64_t{0};
    });
    for (std::size_t i = 0; i < rows_; ++i) {
        if (out_of_range[i]) throw std::invalid_argument("row " + std::to_string(i) + " holds a bin index beyond n_bins");
    }
    note_missing(missing);
    if (any_missing_) {
        for (std::size_t i = 0; i < rows_; ++i) {
            if (!missing[i]) std::memset(present_.data() + i * length_, 1, length_);
        }
    }
}

void BinnedRows::note_missing(const Buffer<std::uint8_t>& rows_with_missing) {
    row_missing_ = Buffer<std::uint8_t>::zeroed(rows_);
    for (std::size_t i = 0; i < rows_; ++i) {
        row_missing_[i] = rows_with_missing[i];
        any_missing_ = any_missing_ || rows_with_missing[i] != 0;
    }
    if (!any_missing_) present_ = Buffer<std::uint8_t>{};
}

void BinnedRows::copy_to(void* out) const {
    const std::size_t cells = rows_ * length_;
    if (cells == 0) return;
    if (narrow_bins_) {
        std::memcpy(out, narrow_.data(), cells * sizeof(std::uint32_t));
    } else {
        std::memcpy(out, wide_.data(), cells * sizeof(std::uint64_t));
    }
    if (!any_missing_) return;
    for (std::size_t c = 0; c < cells; ++c) {
        if (present_[c]) continue;
        if (narrow_bins_) {
            static_cast<std::uint32_t*>(out)[c] = static_cast<std::uint32_t>(missing_code());
        } else {
            static_cast<std::uint64_t*>(out)[c] = missing_code();
        }
    }
}

void BinnedRows::widen(std::size_t i, std::uint64_t* out) const {
    if (!narrow_bins_) {
        const std::uint64_t* row = bins64(i);
        std::copy(row, row + length_, out);
        return;
    }
    const std::uint32_t* row = bins32(i);
    for (std::size_t t = 0; t < length_; ++t) out[t] = row[t];
}

}  // namespace zelmo::network
