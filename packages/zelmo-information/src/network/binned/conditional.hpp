// Conditional transfer entropy, in bits: how much the past of a source
// tells about the next value of a target beyond the target's own past and
// the pasts of conditioning series,
//
//   T(S -> A | B, Z) = sum p(a, b, s, z) log2 [ c(a,b,s,z) c(b,z) / (c(b,s,z) c(a,b,z)) ],
//
// summed over the observed states in ascending (a, b, s, z) order with each
// term formed as the transfer-entropy kernel forms its terms, clamped at 0.
// Without conditions and at lag 1 it is that kernel's value to the last bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../kernels/support.hpp"
#include "../engine/statistic.hpp"

namespace zelmo::network {

struct ConditionalEstimate {
    double te = 0.0;
    std::size_t states = 0;  // distinct (a, b, s, z) states counted
    std::size_t steps = 0;   // steps counted
};

// From bins (each series binned over its own full length): bins[0] is the
// target, bins[1] the source, bins[2...] the conditions; lags[k] is the lag
// of series k's past (the target's own past always ends one step back, so
// lags[0] is ignored). The first n steps of every series are used; step t
// is counted from the first at which every past lies inside the series.
// Without `target_past` the target's own past is left out of the context
// (its lags are then among the conditions). With `present` (one array per
// series, 1 where a sample is present), a step is counted only when every
// sample it uses is present.
ConditionalEstimate conditional_from_bins(const std::vector<const std::uint64_t*>& bins,
                                          const std::vector<std::size_t>& lags, std::size_t n,
                                          std::uint64_t n_bins, std::uint64_t history, bool target_past = true,
                                          const std::vector<const std::uint8_t*>* present = nullptr);

// The same from samples: each series binned by the scaled rule over its own
// full length; n is the shortest length. 0.0 when n < 3 or n <= history.
// With `target_lags` the target's past is its values at those single lags
// (history 1) in place of its last `history` values.
ConditionalEstimate conditional_transfer_entropy(Span source, Span target, const StridedMatrix& conditions,
                                                 std::uint64_t n_bins, std::uint64_t history, std::size_t lag,
                                                 const std::vector<std::size_t>& condition_lags,
                                                 const std::vector<std::size_t>* target_lags = nullptr);

}  // namespace zelmo::network
