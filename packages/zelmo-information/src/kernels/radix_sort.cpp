#include "radix_sort.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "stop.hpp"

namespace zelmo {

void radix_sort(std::uint64_t* keys, std::size_t n, std::uint64_t max_key, std::uint64_t* scratch) {
    // Digits of up to 14 bits keep the bucket offsets within the L2 cache;
    // the bits in use are split evenly over as few passes as that allows.
    constexpr int kMaxDigitBits = 14;
    int bits = 0;
    while (bits < 64 && (max_key >> bits) != 0) ++bits;
    const int passes = (bits + kMaxDigitBits - 1) / kMaxDigitBits;
    if (passes == 0 || n < 2) return;
    if (n < 512) {  // bucket tables cost more than a comparison sort here
        std::sort(keys, keys + n);
        return;
    }
    const int digit_bits = (bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << digit_bits;
    // One pass over the keys counts every digit.
    std::vector<std::size_t> counts(static_cast<std::size_t>(passes) * buckets, 0);
    for_pieces(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            for (int p = 0; p < passes; ++p) ++counts[p * buckets + ((keys[i] >> (p * digit_bits)) & (buckets - 1))];
        }
    });
    std::uint64_t* from = keys;
    std::uint64_t* to = scratch;
    for (int p = 0; p < passes; ++p) {
        std::size_t* offset = counts.data() + p * buckets;
        std::size_t sum = 0;
        for (std::size_t b = 0; b < buckets; ++b) sum += std::exchange(offset[b], sum);
        const int shift = p * digit_bits;
        for_pieces(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) to[offset[(from[i] >> shift) & (buckets - 1)]++] = from[i];
        });
        std::swap(from, to);
    }
    if (from != keys) std::copy(from, from + n, keys);
}

}  // namespace zelmo
