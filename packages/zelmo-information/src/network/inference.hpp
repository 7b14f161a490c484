// Network inference by greedy multivariate transfer entropy: for every
// target, the sources (series at given lags) whose pasts tell about its next
// value beyond its own past and the other selected sources, each step
// tested against surrogates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "binned_rows.hpp"
#include "parallel.hpp"
#include "surrogates.hpp"

namespace zelmo::network {

struct InferenceSettings {
    std::uint64_t history = 1;
    std::size_t max_lag = 1;
    double alpha = 0.05;
    std::uint64_t surrogates = 200;
    Method method = Method::shift;
    std::uint64_t seed = 0;
    std::size_t max_sources = 0;  // 0: no limit
};

struct Link {
    std::size_t source = 0;
    std::size_t lag = 0;
    double te = 0.0;            // given the target's other links, as conditional_transfer_entropy gives it
    double p_value = 1.0;       // of that value against the link's own surrogates
    std::size_t states = 0;     // distinct joint states counted for te
};

struct TargetResult {
    std::size_t target = 0;
    std::vector<Link> links;  // in order of selection
    double omnibus_p = -1.0;  // of all selected sources together; -1 when none were selected
    std::size_t steps = 0;    // steps counted by the statistics
};

// For each of `targets` (rows of `rows`), each independently of the others:
// (a) greedy selection of candidates (row, lag), lag 1 .. max_lag, every
// other row a candidate, each tested with the maximum statistic; (b)
// pruning with the minimum statistic; (c) an omnibus test of the selected
// sources together; then a final test of each link given the others. The
// false discovery rate across targets' omnibus p-values is the caller's to
// apply. The surrogates of target j are drawn from Philox4x64-10 keyed by
// (seed, purpose of the test) with counter (j, step * 2^32 + source row, k,
// block), so a target's result does not depend on which targets share the
// call.
std::vector<TargetResult> infer_network(const BinnedRows& rows, const std::vector<std::size_t>& targets,
                                        const InferenceSettings& settings, Pool& pool);

}  // namespace zelmo::network
