// Counting the joint states of a target, its conditioning pasts and a
// source, for the statistics of surrogate tests: N times the conditional
// transfer entropy from the source's past S to the target's next value A,
// given the target's context C (its own past and any conditioning pasts),
//
//   N * T = sum F(c_acs) + sum F(c_c) - sum F(c_cs) - sum F(c_ac),
//
// with F(k) = k log2 k in the exact fixed-point form of fixed_point.hpp.
// The last two sums belong to the target side alone: they are computed
// once per target and context, and every source and surrogate only counts
// its (a, c, s) states.
//
// Two representations: dense (codes below 2^22 joint states, counted in
// 32-bit tables) and wide (any codes, as the single-pair functions form
// them in wrapping 64-bit arithmetic, counted by sorting).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../kernels/stop.hpp"
#include "../../kernels/support.hpp"
#include "../../kernels/transfer_entropy.hpp"
#include "fixed_point.hpp"

namespace zelmo::network {

// Dense joint states up to this many (16 MiB of 32-bit counters).
inline constexpr std::uint64_t kDenseStates = std::uint64_t{1} << 22;

// The steps counted and the codes of one past of `history` bins.
struct Geometry {
    std::size_t length = 0;   // L, samples per row
    std::size_t history = 0;  // bins per past
    std::size_t first = 0;    // the first step counted (every past inside the series)
    std::size_t count = 0;    // N = length - first
    std::uint64_t radix = 1;  // values of one bin, max(n_bins, 1)
    std::uint64_t states = 0; // values of one past code, radix^history, or 0 beyond kDenseStates

    Geometry(std::size_t length, std::uint64_t n_bins, std::size_t history, std::size_t first);
};

// The past codes of a series read circularly: codes[u] is the code of the
// bins ending at u - 1 (the bin at u - 1 - k weighing radix^k, indices
// modulo the length). The past ending `lag` steps before step t of a series
// rotated left by d has the code codes[(t - lag + 1 + d) mod length].
// Needs history < length; the wide form needs scratch for length + history
// words.
void circular_codes(const std::uint32_t* bins, const Geometry& g, std::uint32_t* codes);
void circular_codes(const std::uint64_t* bins, const Geometry& g, const PastWeights& weights,
                    std::uint64_t* codes, std::uint64_t* scratch);

// A sequence of past codes as seen from the counted steps: step t (0 for
// the first counted step) reads codes[(t + start) mod length].
template <class Code>
struct CodeView {
    const Code* codes;
    std::size_t length;
    std::size_t start;

    // The past ending `lag` steps before each counted step, of circular
    // codes rotated left by `rotation`.
    static CodeView past(const Code* codes, const Geometry& g, std::size_t lag, std::size_t rotation) {
        return CodeView{codes, g.length, (g.first + 1 + rotation + g.length - lag) % g.length};
    }
};

// Calls f(t, u) for the counted steps t in [0, count) with u the index of
// step t in `view`, with a stop point (stop.hpp) at least every
// kStopInterval steps.
template <class Code, class F>
inline void for_each_step(std::size_t count, const CodeView<Code>& view, F f) {
    std::size_t t = 0, u = view.start;
    while (t < count) {
        stop_point();
        const std::size_t run = std::min({count - t, view.length - u, kStopInterval});
        for (std::size_t r = 0; r < run; ++r) f(t + r, u + r);
        t += run;
        u += run;
        if (u == view.length) u = 0;
    }
}

// The target side in dense form: per counted step the context code times
// the number of source codes, and the next value times the number of
// (context, source) groups, so that a state's cell is their sum plus the
// source code.
class DenseContext {
public:
    // Whether contexts x sources x radix joint states fit dense tables.
    static bool fits(std::uint64_t contexts, std::uint64_t sources, std::uint64_t radix);

    // The target's next bins and its context codes per counted step (each
    // below `contexts`), for sources of `sources` codes.
    DenseContext(const Geometry& g, const std::uint32_t* target_bins, const std::uint32_t* context,
                 std::uint64_t contexts, std::uint64_t sources, const XLog2X& xlogx);

    std::uint64_t groups() const { return groups_; }
    std::uint64_t cells() const { return cells_; }

    // N T for the source codes of `source` (each below `sources`), clamped
    // at 0. `tables` is scratch of at least cells() + groups() counters,
    // all zero, and left so.
    std::int64_t value(const CodeView<std::uint32_t>& source, std::uint32_t* tables, const XLog2X& xlogx) const;

private:
    std::size_t count_;
    std::uint64_t groups_, cells_;
    Buffer<std::uint32_t> next_part_, context_part_;
    std::int64_t target_part_ = 0;
};

// The target side in wide form: per counted step `width` context words and
// the next bin.
class WideContext {
public:
    WideContext(std::size_t count, std::size_t width, std::vector<std::uint64_t> context,
                std::vector<std::uint64_t> next, const XLog2X& xlogx);

    // N T for per-step source words (count x source_width), clamped at 0.
    std::int64_t value(const std::uint64_t* source, std::size_t source_width, const XLog2X& xlogx) const;

private:
    std::size_t count_, width_;
    std::vector<std::uint64_t> context_, next_;
    std::int64_t target_part_ = 0;
};

// The indices of `count` rows of `width` words at `rows`, in ascending
// lexicographic order of the rows.
std::vector<std::size_t> row_order(const std::uint64_t* rows, std::size_t count, std::size_t width);

// Over the rows of `rows` (`width` words each): sum F(c) over the distinct
// rows minus sum F(c) over the distinct prefixes of `prefix` words, c the
// number of rows of each.
std::int64_t sorted_sums(const std::vector<std::uint64_t>& rows, std::size_t width, std::size_t prefix,
                         const XLog2X& xlogx);

}  // namespace zelmo::network
