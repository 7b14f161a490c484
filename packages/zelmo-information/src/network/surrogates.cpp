#include "surrogates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "estimator.hpp"
#include "matrices.hpp"
#include "transfer_pairs.hpp"

namespace zelmo::network {

namespace {

// N times the transfer entropy, in fixed point, of one pair and of its
// surrogates: the target's own past is the context, the source's past ends
// one step back. The context is kept while the target stays the same.
class PairStatistic {
public:
    PairStatistic(const Shared& shared, const TestSettings& settings, const std::vector<std::uint64_t>& keys)
        : estimator_(shared), settings_(settings), keys_(keys) {}

    void select(std::size_t source, std::size_t target) {
        source_ = {{source, 1}};
        if (target != target_) {
            target_ = SIZE_MAX;  // a build that fails leaves no target
            context_ = Context{};
            estimator_.build(context_, target);
            target_ = target;
        }
    }

    std::int64_t observed() {
        return estimator_.value(context_, source_, [&](std::size_t row) { return estimator_.observed(row); });
    }

    std::int64_t surrogate(std::uint64_t k) {
        const Purpose purpose = settings_.method == Method::shift ? Purpose::shift : Purpose::shuffle;
        const Draws draws(settings_.seed, purpose, keys_[source_[0].row], keys_[target_], k);
        return estimator_.value(context_, source_, [&](std::size_t row) {
            return estimator_.surrogate(settings_.method, draws, row);
        });
    }

private:
    Estimator estimator_;
    const TestSettings& settings_;
    const std::vector<std::uint64_t>& keys_;
    Context context_;
    std::vector<Candidate> source_;
    std::size_t target_ = SIZE_MAX;
};

}  // namespace

void transfer_entropy_test(const BinnedRows& rows, const Tile& tile, const TestSettings& settings, Pool& pool,
                           const TestOutput& out) {
    const std::size_t length = rows.length();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const bool counts = transfer_counts_steps(length, settings.history);
    const std::size_t pairs = tile.units();
    for (std::size_t u = 0; u < pairs; ++u) {
        std::size_t i, j;
        tile.pair(u, i, j);
        const bool diagonal = i == j;
        out.te[u] = 0.0;
        out.p_values[u] = diagonal ? nan : 1.0;
        out.null_mean[u] = diagonal ? nan : 0.0;
        out.null_std[u] = diagonal ? nan : 0.0;
    }
    // Without counted steps every value, observed or not, is 0.0: p = 1.
    if (tile.ordered_pairs() == 0 || !counts || settings.surrogates == 0) return;
    const std::size_t h = static_cast<std::size_t>(settings.history);
    if (settings.method == Method::shift && length < 2 * h + 2) {
        throw std::invalid_argument("method='shift' needs series of at least 2 * history + 2 steps");
    }

    const Geometry g(length, rows.n_bins(), h, h);
    const XLog2X xlogx(g.count);
    const PastWeights weights(rows.n_bins(), settings.history);
    const RowCodes codes(rows, g, weights, pool);
    const Shared shared{rows, g, codes, xlogx, weights, h + 1};
    std::vector<std::optional<TransferPairs>> exact(pool.workers());
    std::vector<std::optional<PairStatistic>> workers(pool.workers());
    auto worker = [&](unsigned slot) -> PairStatistic& {
        if (!workers[slot]) workers[slot].emplace(shared, settings, tile.keys);
        return *workers[slot];
    };

    // The observed values, exact and in fixed point.
    Buffer<std::int64_t> observed = Buffer<std::int64_t>::uninitialised(pairs);
    pool.run(pairs, [&](std::size_t u, unsigned slot) {
        std::size_t i, j;
        tile.pair(u, i, j);
        if (i == j) return std::uint64_t{0};
        if (!exact[slot]) exact[slot].emplace(rows, settings.history);
        out.te[u] = exact[slot]->estimate(i, j);
        PairStatistic& w = worker(slot);
        w.select(i, j);
        observed[u] = w.observed();
        return std::uint64_t{1};
    });
    exact.clear();

    // The surrogates, in rounds of pairs whose null values fit a fixed
    // buffer; within a round, blocks of one pair's surrogates are units of
    // work. The statistics of a pair are computed from its null values in
    // the order of k, so they do not depend on which thread made which.
    const std::uint64_t surrogates = settings.surrogates;
    constexpr std::uint64_t kBlock = 32;
    constexpr std::uint64_t kRoundValues = std::uint64_t{1} << 21;
    const std::size_t per_round = static_cast<std::size_t>(std::max<std::uint64_t>(1, kRoundValues / surrogates));
    const std::size_t blocks = static_cast<std::size_t>((surrogates + kBlock - 1) / kBlock);
    Buffer<std::int64_t> nulls =
        Buffer<std::int64_t>::uninitialised(std::min(per_round, pairs) * static_cast<std::size_t>(surrogates));
    for (std::size_t first = 0; first < pairs; first += per_round) {
        const std::size_t in_round = std::min(per_round, pairs - first);
        pool.run(in_round * blocks, [&](std::size_t unit, unsigned slot) {
            const std::size_t u = first + unit / blocks;
            const std::uint64_t k0 = (unit % blocks) * kBlock;
            const std::uint64_t k1 = std::min(surrogates, k0 + kBlock);
            std::size_t i, j;
            tile.pair(u, i, j);
            if (i == j) return std::uint64_t{0};
            PairStatistic& w = worker(slot);
            w.select(i, j);
            std::int64_t* values = nulls.data() + (u - first) * surrogates;
            for (std::uint64_t k = k0; k < k1; ++k) values[k] = w.surrogate(k);
            return k1 - k0;
        });
        for (std::size_t u = first; u < first + in_round; ++u) {
            std::size_t i, j;
            tile.pair(u, i, j);
            if (i == j) continue;
            const std::int64_t* values = nulls.data() + (u - first) * surrogates;
            std::uint64_t at_least = 0;
            __int128 sum = 0;
            for (std::uint64_t k = 0; k < surrogates; ++k) {
                at_least += values[k] >= observed[u];
                sum += values[k];
            }
            const double mean = xlogx.bits(sum) / static_cast<double>(surrogates);
            double squares = 0.0;
            for (std::uint64_t k = 0; k < surrogates; ++k) {
                const double d = xlogx.bits(values[k]) - mean;
                squares += d * d;
            }
            out.p_values[u] = static_cast<double>(1 + at_least) / static_cast<double>(1 + surrogates);
            out.null_mean[u] = mean;
            out.null_std[u] = std::sqrt(squares / static_cast<double>(surrogates));
        }
        pool.poll();
    }
}

}  // namespace zelmo::network
