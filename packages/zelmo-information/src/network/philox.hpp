// Philox4x64-10 (Salmon, Moraes, Dror and Shaw, "Parallel random numbers: as
// easy as 1, 2, 3", SC 2011): a counter-based generator. Every draw is a
// pure function of a 128-bit key and a 256-bit counter, so a stream can be
// named by what it is for (a seed, a purpose, the indices of a pair and of
// a surrogate) and reproduced anywhere, on any thread, in any order.
#pragma once

#include <array>
#include <cstdint>

namespace zelmo::network {

using Philox4x64 = std::array<std::uint64_t, 4>;

// One block: the four 64-bit outputs for `counter` under `key`.
inline Philox4x64 philox4x64_10(Philox4x64 counter, std::array<std::uint64_t, 2> key) {
    constexpr std::uint64_t kM0 = 0xD2E7470EE14C6C93ULL, kM1 = 0xCA5A826395121157ULL;
    constexpr std::uint64_t kW0 = 0x9E3779B97F4A7C15ULL, kW1 = 0xBB67AE8584CAA73BULL;
    for (int round = 0; round < 10; ++round) {
        if (round > 0) {
            key[0] += kW0;
            key[1] += kW1;
        }
        const unsigned __int128 p0 = static_cast<unsigned __int128>(kM0) * counter[0];
        const unsigned __int128 p1 = static_cast<unsigned __int128>(kM1) * counter[2];
        const auto hi0 = static_cast<std::uint64_t>(p0 >> 64), lo0 = static_cast<std::uint64_t>(p0);
        const auto hi1 = static_cast<std::uint64_t>(p1 >> 64), lo1 = static_cast<std::uint64_t>(p1);
        counter = {hi1 ^ counter[1] ^ key[0], lo1, hi0 ^ counter[3] ^ key[1], lo0};
    }
    return counter;
}

// What a stream of draws is for; part of the key, so that streams for
// different purposes never share blocks.
enum class Purpose : std::uint64_t {
    shift = 1,    // the offset of a rotated surrogate of a pair
    shuffle = 2,  // the permutation of a shuffled surrogate of a pair
    // The surrogates of the tests of network inference, per target.
    select = 3,   // a candidate against the strongest of the others' surrogates
    prune = 4,    // the weakest selected source against the others'
    omnibus = 5,  // all selected sources together
    link = 6,     // each final link given the others
    history = 7,  // a lag of the target's own past against the others' surrogates
    noise = 8,    // the noise that breaks ties of a series for the nearest-neighbour estimators
};

// The stream of 64-bit words keyed by (seed, purpose) with counter
// (a, b, c, block) for block = 0, 1, 2, ...: the four words of block 0 in
// order, then those of block 1, and so on.
class Draws {
public:
    Draws(std::uint64_t seed, Purpose purpose, std::uint64_t a, std::uint64_t b, std::uint64_t c)
        : key_{seed, static_cast<std::uint64_t>(purpose)}, counter_{a, b, c, 0} {}

    // What names the stream: the key and the counter words but the block.
    std::array<std::uint64_t, 5> stream() const { return {key_[0], key_[1], counter_[0], counter_[1], counter_[2]}; }

    std::uint64_t next() {
        if (used_ == 4) {
            block_ = philox4x64_10(counter_, key_);
            ++counter_[3];
            used_ = 0;
        }
        return block_[used_++];
    }

    // A uniform integer in [0, bound) for bound >= 1, without bias, by
    // Lemire's multiply-and-reject method ("Fast random integer generation
    // in an interval", 2019): the high word of word * bound, drawing again
    // while the low word falls below 2^64 mod bound.
    std::uint64_t below(std::uint64_t bound) {
        unsigned __int128 m = static_cast<unsigned __int128>(next()) * bound;
        if (static_cast<std::uint64_t>(m) < bound) {
            const std::uint64_t threshold = (0 - bound) % bound;
            while (static_cast<std::uint64_t>(m) < threshold) m = static_cast<unsigned __int128>(next()) * bound;
        }
        return static_cast<std::uint64_t>(m >> 64);
    }

private:
    std::array<std::uint64_t, 2> key_;
    Philox4x64 counter_;
    Philox4x64 block_{};
    int used_ = 4;
};

}  // namespace zelmo::network
