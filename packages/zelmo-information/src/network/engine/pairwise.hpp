// Transfer entropy between every ordered pair of a tile of rows, and its
// significance by surrogate data (or an analytic null), written once for
// every statistic. For every ordered pair (i, j) the source row i is
// replaced by `surrogates` surrogates, and the value of each surrogate into
// row j forms the null distribution of the pair's observed value.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "../parallel.hpp"
#include "statistic.hpp"
#include "tile.hpp"

namespace zelmo::network {

struct TestSettings {
    std::uint64_t history = 1;
    std::uint64_t surrogates = 1000;
    Method method = Method::shift;
    std::uint64_t seed = 0;
    bool analytic = false;
};

// Where the results go: sources x targets arrays of the tile, row-major.
struct TestOutput {
    double* te;         // the transfer entropy, as the estimator reports a single estimate
    double* p_values;   // (1 + #{null >= observed}) / (1 + surrogates), or analytic; NaN on the diagonal
    double* null_mean;  // mean of the null values; NaN on the diagonal
    double* null_std;   // their standard deviation (divided by the count); NaN on the diagonal
    double* steps;      // steps counted per pair, or null
};

namespace pairwise_detail {

// Per-thread scratch: a worker and the context of the target it last built.
template <class S>
struct PairWorker {
    typename S::Worker worker;
    typename S::Context context;
    std::size_t target = SIZE_MAX;

    explicit PairWorker(const S& stat) : worker(stat) {}

    const typename S::Context& context_of(std::size_t j, std::uint64_t history) {
        if (j != target) {
            target = SIZE_MAX;  // a build that fails leaves no target
            context = typename S::Context{};
            worker.build(context, ContextSpec{j, static_cast<std::size_t>(history), {}, 1});
            target = j;
        }
        return context;
    }
};

inline ContextSpec pair_spec(std::size_t j, std::uint64_t history) {
    return ContextSpec{j, static_cast<std::size_t>(history), {}, 1};
}

}  // namespace pairwise_detail

// out[a, b] = T(source a -> target b) as the estimator reports it, 0.0
// where the two are one row; steps (if not null) the steps counted.
template <Statistic S>
void transfer_matrix(const S& stat, const Tile& tile, std::uint64_t history, Pool& pool, double* out, double* steps) {
    std::fill(out, out + tile.units(), 0.0);
    if (steps != nullptr) std::fill(steps, steps + tile.units(), 0.0);
    std::vector<std::optional<typename S::Worker>> workers(pool.workers());
    pool.run(tile.units(), [&](std::size_t u, unsigned slot) {
        std::size_t i, j;
        tile.pair(u, i, j);
        if (i == j) return std::uint64_t{0};
        if (!workers[slot]) workers[slot].emplace(stat);
        const Source source{Candidate{i, 1}, Draw::observed()};
        const Estimate e = workers[slot]->estimate(pairwise_detail::pair_spec(j, history), std::span(&source, 1));
        out[u] = e.value;
        if (steps != nullptr) steps[u] = static_cast<double>(e.steps);
        return std::uint64_t{1};
    });
}

// The draws of surrogate k of pair (i, j) come from Philox4x64-10 keyed by
// (seed, method) with counter (key i, key j, k, block), so every value
// depends only on the seed and the rows, never on the threads, the tiles or
// the order of work. A shift needs length >= 2 * history + 2 where the
// statistic counts steps at all (std::invalid_argument otherwise).
template <Statistic S>
void pairwise_test(const S& stat, const Tile& tile, const TestSettings& settings, Pool& pool, const TestOutput& out) {
    using Value = typename S::Value;
    const Window window = stat.window();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::size_t pairs = tile.units();
    for (std::size_t u = 0; u < pairs; ++u) {
        std::size_t i, j;
        tile.pair(u, i, j);
        const bool diagonal = i == j;
        out.te[u] = 0.0;
        out.p_values[u] = diagonal ? nan : 1.0;
        out.null_mean[u] = diagonal ? nan : 0.0;
        out.null_std[u] = diagonal ? nan : 0.0;
        if (out.steps != nullptr) out.steps[u] = 0.0;
    }
    // Without counted steps every value, observed or not, is 0.0: p = 1.
    if (tile.ordered_pairs() == 0 || window.count == 0 || window.length < 3 ||
        (!settings.analytic && settings.surrogates == 0)) {
        return;
    }
    const std::size_t h = static_cast<std::size_t>(settings.history);
    if (!settings.analytic && settings.method == Method::shift && window.length < 2 * h + 2) {
        throw std::invalid_argument("method='shift' needs series of at least 2 * history + 2 steps");
    }

    std::vector<std::optional<pairwise_detail::PairWorker<S>>> workers(pool.workers());
    auto worker = [&](unsigned slot) -> pairwise_detail::PairWorker<S>& {
        if (!workers[slot]) workers[slot].emplace(stat);
        return *workers[slot];
    };

    // The observed values, as reported and as compared.
    std::vector<Value> observed(pairs);
    pool.run(pairs, [&](std::size_t u, unsigned slot) {
        std::size_t i, j;
        tile.pair(u, i, j);
        if (i == j) return std::uint64_t{0};
        auto& w = worker(slot);
        const Source source{Candidate{i, 1}, Draw::observed()};
        const Estimate e = w.worker.estimate(pairwise_detail::pair_spec(j, settings.history), std::span(&source, 1));
        out.te[u] = e.value;
        if (out.steps != nullptr) out.steps[u] = static_cast<double>(e.steps);
        observed[u] = w.worker.value(w.context_of(j, settings.history), std::span(&source, 1));
        return std::uint64_t{1};
    });

    if (settings.analytic) {
        const std::size_t degrees = stat.source_degrees();
        const NullSummary null = stat.analytic_summary(degrees);
        for (std::size_t u = 0; u < pairs; ++u) {
            std::size_t i, j;
            tile.pair(u, i, j);
            if (i == j) continue;
            out.p_values[u] = stat.p_value(observed[u], degrees);
            out.null_mean[u] = null.mean;
            out.null_std[u] = null.std;
        }
        return;
    }

    // The surrogates, in rounds of pairs whose null values fit a fixed
    // buffer; within a round, blocks of one pair's surrogates are units of
    // work. The statistics of a pair are computed from its null values in
    // the order of k, so they do not depend on which thread made which.
    const std::uint64_t surrogates = settings.surrogates;
    const Purpose purpose = settings.method == Method::shift ? Purpose::shift : Purpose::shuffle;
    constexpr std::uint64_t kBlock = 32;
    constexpr std::uint64_t kRoundValues = std::uint64_t{1} << 21;
    const std::size_t per_round = static_cast<std::size_t>(std::max<std::uint64_t>(1, kRoundValues / surrogates));
    const std::size_t blocks = static_cast<std::size_t>((surrogates + kBlock - 1) / kBlock);
    std::vector<Value> nulls(std::min(per_round, pairs) * static_cast<std::size_t>(surrogates));
    for (std::size_t first = 0; first < pairs; first += per_round) {
        const std::size_t in_round = std::min(per_round, pairs - first);
        pool.run(in_round * blocks, [&](std::size_t unit, unsigned slot) {
            const std::size_t u = first + unit / blocks;
            const std::uint64_t k0 = (unit % blocks) * kBlock;
            const std::uint64_t k1 = std::min(surrogates, k0 + kBlock);
            std::size_t i, j;
            tile.pair(u, i, j);
            if (i == j) return std::uint64_t{0};
            auto& w = worker(slot);
            const auto& context = w.context_of(j, settings.history);
            Value* values = nulls.data() + (u - first) * surrogates;
            auto source_of = [&](std::uint64_t k) {
                const Draws draws(settings.seed, purpose, tile.keys[i], tile.keys[j], k);
                return Source{Candidate{i, 1}, Draw::surrogate(settings.method, draws, window.length, h + 1)};
            };
            if constexpr (BatchValues<S>) {
                stop_point();
                std::vector<Source> sources;
                for (std::uint64_t k = k0; k < k1; ++k) sources.push_back(source_of(k));
                w.worker.values(context, sources, values + k0);
            } else {
                for (std::uint64_t k = k0; k < k1; ++k) {
                    stop_point();
                    const Source source = source_of(k);
                    values[k] = w.worker.value(context, std::span(&source, 1));
                }
            }
            return k1 - k0;
        });
        for (std::size_t u = first; u < first + in_round; ++u) {
            std::size_t i, j;
            tile.pair(u, i, j);
            if (i == j) continue;
            const Value* values = nulls.data() + (u - first) * surrogates;
            std::uint64_t at_least = 0;
            for (std::uint64_t k = 0; k < surrogates; ++k) at_least += stat.at_least(values[k], observed[u]);
            const NullSummary null = stat.summarize(values, static_cast<std::size_t>(surrogates), 1);
            out.p_values[u] = static_cast<double>(1 + at_least) / static_cast<double>(1 + surrogates);
            out.null_mean[u] = null.mean;
            out.null_std[u] = null.std;
        }
        pool.poll();
    }
}

}  // namespace zelmo::network
