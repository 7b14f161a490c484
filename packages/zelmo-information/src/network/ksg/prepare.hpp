// Preparation of a series for the nearest-neighbour estimators: distances
// mix coordinates of different series, so each is put on one scale, and
// ties (quantised recordings) are broken by a little noise.
//
//   1. With `rank`, each value is replaced by its rank, 1 .. n, tied values
//      sharing the mean of their ranks.
//   2. The values are centred and scaled to unit variance:
//        (v_i - m) / s,  m = (sum of v_i) / n,  s^2 = (sum of (v_i - m)^2) / n,
//      both sums in index order, after the values have been multiplied by
//      the power of two that brings the largest magnitude into [1, 2) (exact,
//      and only to keep the sums clear of overflow and underflow). A
//      constant series becomes all zeros.
//   3. With noise > 0, value i gains noise * (2 u_i - 1), u_i = w_i / 2^64
//      rounded down to a multiple of 2^-53, with w_i the i-th 64-bit word of
//      the Philox stream keyed by (seed, Purpose::noise) with counter
//      (row, 0, 0, block): uniform on [-noise, noise), in units of the
//      series' standard deviation. No transcendental function is involved,
//      so the values are the same on every IEEE machine; they depend only on
//      the series, the settings, the seed and the row.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelmo::network::ksg {

// The default amplitude of the noise, relative to the standard deviation:
// far above the rounding of standardised values (about 1e-16), far below
// any scale the estimates resolve.
inline constexpr double kDefaultNoise = 1e-8;

struct Preparation {
    bool rank = false;
    double noise = kDefaultNoise;  // finite, >= 0; 0 adds none
    std::uint64_t seed = 0;
};

// Writes the prepared values[0 .. n) of series `row` to out (which may be
// values). The values must be finite.
void prepare_series(const double* values, std::size_t n, const Preparation& how, std::uint64_t row, double* out);

// The same for a series with missing samples (NaN or infinite): steps 1 and
// 2 over its finite values only, the noise of value i still the i-th word
// of the row's stream, and every missing sample NaN in out (which may be
// values). Equal to prepare_series for a series without missing samples.
void prepare_row(const double* values, std::size_t n, const Preparation& how, std::uint64_t row, double* out);

}  // namespace zelmo::network::ksg
