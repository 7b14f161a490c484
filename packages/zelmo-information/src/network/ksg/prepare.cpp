#include "prepare.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "../../kernels/support.hpp"
#include "../philox.hpp"

namespace zelmo::network::ksg {

namespace {

// Mean ranks, 1 .. n, of values[0 .. n).
std::vector<double> ranks(const double* values, std::size_t n) {
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [values](std::size_t a, std::size_t b) { return values[a] < values[b]; });
    std::vector<double> out(n);
    for (std::size_t first = 0; first < n;) {
        std::size_t last = first + 1;
        while (last < n && values[order[last]] == values[order[first]]) ++last;
        // The mean of the ranks first + 1 .. last.
        const double rank = static_cast<double>(first + 1 + last) / 2.0;
        for (std::size_t i = first; i < last; ++i) out[order[i]] = rank;
        first = last;
    }
    return out;
}

}  // namespace

void prepare_series(const double* values, std::size_t n, const Preparation& how, std::uint64_t row, double* out) {
    if (!(how.noise >= 0.0) || !std::isfinite(how.noise)) panic("the noise must be finite and not negative");
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(values[i])) panic("a series to prepare holds NaN or an infinity");
    }
    if (n == 0) return;
    std::vector<double> ranked;
    if (how.rank) {
        ranked = ranks(values, n);
        values = ranked.data();
    }
    double largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs(values[i]));
    const auto [low, high] = std::minmax_element(values, values + n);
    if (*low == *high) {
        std::fill(out, out + n, 0.0);
    } else {
        int exponent = 0;
        std::frexp(largest, &exponent);  // largest = f 2^exponent, f in [0.5, 1)
        const int shift = 1 - exponent;
        // A product by a power of two is rounded once, as ldexp rounds; the
        // factor itself is a double unless the shift is extreme.
        const bool by_factor = shift >= -1000 && shift <= 1000;
        const double factor = std::ldexp(1.0, by_factor ? shift : 0);
        auto scaled = [&](double v) { return by_factor ? v * factor : std::ldexp(v, shift); };
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) sum += scaled(values[i]);
        const double mean = sum / static_cast<double>(n);
        double squares = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double deviation = scaled(values[i]) - mean;
            squares += deviation * deviation;
        }
        const double deviation = std::sqrt(squares / static_cast<double>(n));
        for (std::size_t i = 0; i < n; ++i) out[i] = (scaled(values[i]) - mean) / deviation;
    }
    if (how.noise == 0.0) return;
    Draws draws(how.seed, Purpose::noise, row, 0, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const double u = static_cast<double>(draws.next() >> 11) * 0x1p-53;
        out[i] += how.noise * (2.0 * u - 1.0);
    }
}

void prepare_row(const double* values, std::size_t n, const Preparation& how, std::uint64_t row, double* out) {
    if (!(how.noise >= 0.0) || !std::isfinite(how.noise)) panic("the noise must be finite and not negative");
    std::vector<double> present;
    std::vector<std::uint8_t> finite(n);
    for (std::size_t i = 0; i < n; ++i) {
        finite[i] = std::isfinite(values[i]) ? 1 : 0;
        if (finite[i]) present.push_back(values[i]);
    }
    if (present.size() == n) {
        prepare_series(values, n, how, row, out);
        return;
    }
    prepare_series(present.data(), present.size(), Preparation{how.rank, 0.0, how.seed}, row, present.data());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0, p = 0; i < n; ++i) out[i] = finite[i] ? present[p++] : nan;
    if (how.noise == 0.0) return;
    Draws draws(how.seed, Purpose::noise, row, 0, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const double u = static_cast<double>(draws.next() >> 11) * 0x1p-53;
        if (finite[i]) out[i] += how.noise * (2.0 * u - 1.0);
    }
}

}  // namespace zelmo::network::ksg
