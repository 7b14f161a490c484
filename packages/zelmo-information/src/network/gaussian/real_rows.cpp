#include "real_rows.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "../engine/statistic.hpp"
#include "linalg.hpp"

namespace zelmo::network {

RealRows::RealRows(const double* values, std::size_t rows, std::size_t length, bool standardise, Pool& pool)
    : rows_(rows), length_(length) {
    if (rows_ != 0 && length_ > SIZE_MAX / rows_) throw std::bad_alloc();
    const std::size_t cells = rows_ * length_;
    values_ = Buffer<double>::uninitialised(cells);
    valid_ = Buffer<std::uint8_t>::uninitialised(cells);
    advise_huge_pages(values_.data(), cells * sizeof(double));
    advise_huge_pages(valid_.data(), cells);
    missing_ = Buffer<std::uint8_t>::zeroed(rows_);
    Buffer<std::uint8_t>& missing = missing_;
    pool.run(rows_, [&](std::size_t i, unsigned) {
        double* out = values_.data() + i * length_;
        // The caller's array may lie at any address (a buffer a cluster
        // received): each value is read bytewise, in one pass that copies
        // it (non-finite ones as 0), flags it and finds the largest
        // magnitude.
        const char* in = reinterpret_cast<const char*>(values) + i * length_ * sizeof(double);
        std::uint8_t* ok = valid_.data() + i * length_;
        std::size_t finite = 0;
        double peak = 0.0;
        for (std::size_t t = 0; t < length_; ++t) {
            double v;
            std::memcpy(&v, in + t * sizeof(double), sizeof(double));
            const bool present = std::isfinite(v);
            v = present ? v : 0.0;
            out[t] = v;
            ok[t] = present ? 1 : 0;
            finite += present ? 1 : 0;
            peak = std::max(peak, std::fabs(v));
        }
        missing[i] = finite != length_;
        if (!standardise || finite == 0) return std::uint64_t{0};
        // Scaled by a power of two near the largest magnitude (exactly), so
        // that no sum overflows, then centred: one rounding per value.
        if (!(peak > 0.0)) return std::uint64_t{0};
        const int exponent = std::ilogb(peak);
        // A product by a power of two is rounded once, as ldexp rounds; the
        // factor itself is a double unless the exponent is extreme.
        if (exponent >= -1000 && exponent <= 1000) {
            const double factor = std::ldexp(1.0, -exponent);
            for (std::size_t t = 0; t < length_; ++t) out[t] = out[t] * factor;
        } else {
            for (std::size_t t = 0; t < length_; ++t) out[t] = std::ldexp(out[t], -exponent);
        }
        const double mean = gaussian::total(out, length_) / static_cast<double>(finite);
        for (std::size_t t = 0; t < length_; ++t) out[t] = ok[t] ? out[t] - mean : 0.0;
        return std::uint64_t{0};
    });
    for (std::size_t i = 0; i < rows_; ++i) any_missing_ = any_missing_ || missing[i];
}

bool present_steps(const RealRows& rows, const std::vector<Candidate>& columns, const Window& window,
                   Buffer<std::uint8_t>& valid) {
    const std::size_t n = window.count;
    valid = Buffer<std::uint8_t>::uninitialised(n);
    std::fill(valid.begin(), valid.end(), std::uint8_t{1});
    Buffer<std::uint8_t> ok = Buffer<std::uint8_t>::uninitialised(n);
    for (const Candidate& v : columns) {
        gather(rows.valid(v.row), window, v.lag, 0, ok.data());
        for (std::size_t t = 0; t < n; ++t) valid[t] &= ok[t];
    }
    return std::all_of(valid.begin(), valid.end(), [](std::uint8_t v) { return v != 0; });
}

ShuffledReals shuffle_row(const RealRows& rows, std::size_t row, const Draws& draws) {
    ShuffledReals s;
    const std::size_t length = rows.length();
    s.values = Buffer<double>::uninitialised(length);
    std::memcpy(s.values.data(), rows.row(row), length * sizeof(double));
    shuffle_values(draws, s.values.data(), length);
    if (rows.any_missing()) {
        s.valid = Buffer<std::uint8_t>::uninitialised(length);
        std::memcpy(s.valid.data(), rows.valid(row), length);
        shuffle_values(draws, s.valid.data(), length);
    }
    return s;
}

}  // namespace zelmo::network
