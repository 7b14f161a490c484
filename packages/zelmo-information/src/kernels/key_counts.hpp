// Entropies of counted keys, summed in ascending key order so that results
// repeat to the last bit. Small key spaces are counted in dense tables
// indexed by arithmetic; larger ones by sorting the keys.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "support.hpp"

namespace zelmo {

template <std::size_t K>
using Key = std::array<std::uint64_t, K>;

// Sorts `keys` and returns -sum p log2 p over the distinct keys in ascending
// order, p = (number of equal keys) / total.
template <std::size_t K>
double sorted_entropy_bits(Buffer<Key<K>>& keys, double total) {
    std::sort(keys.begin(), keys.end());
    double h = 0.0;
    for (std::size_t i = 0; i < keys.size();) {
        std::size_t j = i + 1;
        while (j < keys.size() && keys[j] == keys[i]) ++j;
        const double p = static_cast<double>(j - i) / total;
        h = h - p * std::log2(p);
        i = j;
    }
    return h;
}

// radix^power, or 0 when it exceeds `limit`.
inline std::uint64_t bounded_power(std::uint64_t radix, std::uint64_t power, std::uint64_t limit) {
    std::uint64_t result = 1;
    for (std::uint64_t k = 0; k < power; ++k) {
        if (radix != 0 && result > limit / radix) return 0;
        result *= radix;
        if (result > limit) return 0;
    }
    return result;
}

// Whether a dense table of `cells` counters is cheaper than sorting `n` keys:
// while the table stays within a few times the number of observations (a
// few hundred cells cost nothing either way), and never for huge tables.
inline bool dense_is_cheaper(std::uint64_t cells, std::uint64_t n) {
    constexpr std::uint64_t kAlwaysDense = 256;
    constexpr std::uint64_t kNeverDense = std::uint64_t{1} << 26;
    return cells != 0 && cells <= kNeverDense && (cells <= kAlwaysDense || cells <= 4 * n);
}

}  // namespace zelmo
