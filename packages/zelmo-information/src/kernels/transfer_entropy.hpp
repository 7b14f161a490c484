// The transfer-entropy kernel: how much the past of a source series tells
// about the next value of a target series beyond the target's own past,
// by plug-in counting of binned states, in bits.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "key_counts.hpp"
#include "vector_ops.hpp"
#include "support.hpp"

namespace zelmo {

// T(source -> target) over the first n = min(|source|, |target|) steps, each
// series binned by the scaled rule over its whole length. 0.0 when n < 3 or
// n <= history; never negative, never NaN.
double transfer_entropy_inner(Span source, Span target, std::uint64_t n_bins, std::uint64_t history);

// One term of the sum, (c_abs / N) * log2(ratio) with ratio = (c_abs * c_b)
// / (c_bs * c_ab) formed from the counts as doubles, both products before
// the division, or +0.0 where there is none (ratio not above 0). Adding +0.0
// leaves the sum unchanged: it starts at +0.0 and, as no term is -0.0, never
// becomes -0.0. A ratio of exactly 1 gives the term +0.0 too, without a
// logarithm.
inline double transfer_term(std::uint64_t c_abs, std::uint64_t c_b, std::uint64_t c_bs, std::uint64_t c_ab,
                            double total) {
    const double ratio = (static_cast<double>(c_abs) * static_cast<double>(c_b)) /
                         (static_cast<double>(c_bs) * static_cast<double>(c_ab));
    if (!(ratio > 0.0) || ratio == 1.0) return 0.0;
    return (static_cast<double>(c_abs) / total) * std::log2(ratio);
}

// The weights of the past digits: digit k (the bin at step t - 1 - k) weighs
// n_bins^k, multiplied up with saturation at 2^64 - 1. Once the product stops
// changing (n_bins of 0 or 1, or saturation) every later weight is the same,
// so the weights are the leading powers plus one repeated tail weight.
struct PastWeights {
    std::uint64_t history = 0;
    std::vector<std::uint64_t> lead;  // n_bins^k for k < lead.size() <= history
    std::uint64_t tail = 0;           // the weight of every digit k >= lead.size()

    PastWeights(std::uint64_t n_bins, std::uint64_t history);
};

// The past code of every step t in [history, n): sum over k < history of
// bins[t - 1 - k] * weight_k, wrapping modulo 2^64; out[t - history].
// Rolled forward in O(1) per step, which is exact in wrapping arithmetic.
void past_codes(const std::uint64_t* bins, std::size_t n, const PastWeights& w, std::uint64_t* out);

// Bins of one whole series by the scaled rule over its own range.
Buffer<std::uint64_t> series_bins(Span s, std::uint64_t n_bins);

// The same bins as 32-bit integers, into out[0 .. s.len), for n_bins of at
// most 2^32.
void series_bins_narrow(Span s, std::uint64_t n_bins, std::uint32_t* out);

// The state space of a dense count: bins below `radix` (max(n_bins, 1)),
// past codes below `states` = radix^history, full states below `cells` =
// radix * states^2, which the dense path chooses only while it is small.
struct DenseLayout {
    std::uint64_t radix;
    std::uint64_t states;
    std::uint64_t cells;
};
std::optional<DenseLayout> dense_layout(std::uint64_t n_bins, std::uint64_t history, std::size_t count);

// Counts the full states (target_next, target_past, source_past) of steps
// [history, n) in a dense table straight from the two bin sequences (past
// codes rolled forward as it goes), derives the other three tables from it,
// and sums in ascending state order. The tables are kept for the next pair.
class DenseTransfer {
public:
    DenseTransfer(const DenseLayout& layout, std::uint64_t history, std::size_t count);
    double estimate(const std::uint32_t* source_bins, const std::uint32_t* target_bins, std::size_t n);

private:
    void count_states(const std::uint32_t* source_bins, const std::uint32_t* target_bins, std::size_t n);

    DenseLayout layout_;
    std::uint64_t history_;
    Counts full_, transition_, pair_, past_;
    vec::Tally tally_;
};

// The estimate for steps [history, n) from the bins of both series, by one
// sort of the states packed into 64-bit keys: for state spaces too large to
// count densely whose three fields still fit 64 bits.
double packed_transfer_entropy(const std::uint32_t* source_bins, const std::uint32_t* target_bins, std::size_t n,
                               std::uint64_t history, std::uint64_t radix, std::uint64_t states);

// radix^history when the bit fields of a packed state (target_next and two
// past codes) fit 64 bits and radix is at most 2^20, else 0 (the codes may
// then even wrap).
std::uint64_t packed_states(std::uint64_t n_bins, std::uint64_t history);

// The estimate of a pair of series of n steps (count = n - history) from
// their 32-bit bins: dense tables while the state space is small (kept from
// pair to pair), else one sort of packed states. applies() is false where
// the packed fields would not fit 64 bits (the codes may even wrap): such
// pairs take sorted_transfer_entropy.
class NarrowTransfer {
public:
    NarrowTransfer(std::uint64_t n_bins, std::uint64_t history, std::size_t count);
    bool applies() const { return dense_.has_value() || states_ != 0; }
    double estimate(const std::uint32_t* source_bins, const std::uint32_t* target_bins, std::size_t n);

private:
    std::uint64_t history_, radix_, states_;
    std::optional<DenseTransfer> dense_;
};

// The estimate from the codes of `count` steps, by sorting the states: any
// n_bins and history, including past codes that wrap.
double sorted_transfer_entropy(const std::uint64_t* next, const std::uint64_t* target_past,
                               const std::uint64_t* source_past, std::size_t count);

}  // namespace zelmo
