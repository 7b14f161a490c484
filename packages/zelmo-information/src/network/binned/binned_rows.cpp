#include "binned_rows.hpp"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../kernels/binning.hpp"
#include "../../kernels/range.hpp"
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

}  // namespace

BinnedRows::BinnedRows(std::size_t rows, std::size_t length, std::uint64_t n_bins)
    : rows_(rows), length_(length), n_bins_(n_bins), narrow_bins_(n_bins <= vec::kMaxVectorBins) {
    if (rows_ != 0 && length_ > SIZE_MAX / rows_) throw std::bad_alloc();
    const std::size_t cells = rows_ * length_;
    if (narrow_bins_) {
        narrow_ = Buffer<std::uint32_t>::uninitialised(cells);
    } else {
        wide_ = Buffer<std::uint64_t>::uninitialised(cells);
    }
    constant_ = Buffer<std::uint8_t>::zeroed(rows_);
}

BinnedRows::BinnedRows(const StridedMatrix& signals, std::uint64_t n_bins, bool reject_nonfinite, Pool& pool)
    : BinnedRows(signals.rows, signals.cols, n_bins) {
    Buffer<std::uint8_t> nonfinite = Buffer<std::uint8_t>::zeroed(rows_);
    std::vector<Buffer<double>> copies(pool.workers());
    pool.run(rows_, [&](std::size_t i, unsigned slot) {
        if (copies[slot].size() == 0) copies[slot] = Buffer<double>::uninitialised(length_);
        const Span row = row_span(signals, i, copies[slot]);
        if (reject_nonfinite && !all_finite(row)) {
            nonfinite[i] = 1;
            return std::uint64_t{0};
        }
        const SampleRange range = sample_range(row);
        constant_[i] = range.constant();
        if (narrow_bins_) {
            bin_scaled_narrow(row, range, n_bins, narrow_.data() + i * length_);
        } else {
            bin_scaled(row, range, n_bins, wide_.data() + i * length_);
        }
        return std::uint64_t{0};
    });
    for (std::size_t i = 0; i < rows_; ++i) {
        if (nonfinite[i]) {
            throw std::invalid_argument("row " + std::to_string(i) +
                                        " of signals holds NaN or an infinity; clean the data, or pass "
                                        "nonfinite='bin' to bin such values as the single-pair functions do");
        }
    }
}

BinnedRows::BinnedRows(const CodeMatrix& codes, const std::uint8_t* constant, std::uint64_t n_bins, Pool& pool)
    : BinnedRows(codes.rows, codes.cols, n_bins) {
    const std::uint64_t bound = n_bins == 0 ? 1 : n_bins;
    Buffer<std::uint8_t> out_of_range = Buffer<std::uint8_t>::zeroed(rows_);
    // Row i widened from `From` into `To`, with its largest index.
    auto widen_row = [&]<class From, class To>(std::size_t i, To* out) {
        const From* in = static_cast<const From*>(codes.data) + i * length_;
        std::uint64_t largest = 0;
        for (std::size_t t = 0; t < length_; ++t) {
            largest = in[t] > largest ? in[t] : largest;
            out[t] = static_cast<To>(in[t]);
        }
        return largest;
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
        const std::uint64_t largest = narrow_bins_ ? widen_to(i, narrow_.data() + i * length_)
                                                   : widen_to(i, wide_.data() + i * length_);
        out_of_range[i] = largest >= bound;
        return std::uint64_t{0};
    });
    for (std::size_t i = 0; i < rows_; ++i) {
        if (out_of_range[i]) throw std::invalid_argument("row " + std::to_string(i) + " holds a bin index beyond n_bins");
    }
}

void BinnedRows::copy_to(void* out) const {
    const std::size_t cells = rows_ * length_;
    if (cells == 0) return;
    if (narrow_bins_) {
        std::memcpy(out, narrow_.data(), cells * sizeof(std::uint32_t));
    } else {
        std::memcpy(out, wide_.data(), cells * sizeof(std::uint64_t));
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
