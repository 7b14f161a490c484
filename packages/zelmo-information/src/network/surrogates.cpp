#include "surrogates.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "fixed_point.hpp"
#include "matrices.hpp"
#include "philox.hpp"
#include "states.hpp"
#include "transfer_pairs.hpp"

namespace zelmo::network {

namespace {

// What every thread reads.
struct Shared {
    const BinnedRows& rows;
    TestSettings settings;
    Geometry geometry;
    bool dense;
    XLog2X xlogx;
    PastWeights weights;

    Shared(const BinnedRows& r, const TestSettings& s)
        : rows(r),
          settings(s),
          geometry(r.length(), r.n_bins(), static_cast<std::size_t>(s.history), static_cast<std::size_t>(s.history)),
          dense(geometry.states != 0 && DenseContext::fits(geometry.states, geometry.states, geometry.radix)),
          xlogx(geometry.count),
          weights(r.n_bins(), s.history) {}
};

// N times the transfer entropy, in fixed point, of one pair and of its
// surrogates: the target's past is the context, the source's past (ending
// one step before each counted step) the source.
class NullWorker {
public:
    explicit NullWorker(const Shared& shared) : sh_(shared) {
        const std::size_t length = sh_.geometry.length;
        if (sh_.dense) {
            codes_ = Buffer<std::uint32_t>::uninitialised(length);
            source_codes_ = Buffer<std::uint32_t>::uninitialised(length);
        } else {
            bins64_ = Buffer<std::uint64_t>::uninitialised(length);
            codes64_ = Buffer<std::uint64_t>::uninitialised(length);
            scratch64_ = Buffer<std::uint64_t>::uninitialised(length + sh_.geometry.history);
            source_words_ = Buffer<std::uint64_t>::uninitialised(sh_.geometry.count);
        }
    }

    void select(std::size_t source, std::size_t target) {
        // A preparation that fails leaves the row unselected.
        if (target != target_row_) {
            target_row_ = SIZE_MAX;
            prepare_target(target);
            target_row_ = target;
        }
        if (source != source_row_) {
            source_row_ = SIZE_MAX;
            if (sh_.dense) circular_codes(sh_.rows.bins32(source), sh_.geometry, source_codes_.data());
            source_row_ = source;
        }
    }

    // The value of the pair as it is.
    std::int64_t observed() {
        if (sh_.dense) return dense_->value(past(source_codes_.data(), 0), tables_.data(), sh_.xlogx);
        sh_.rows.widen(source_row_, bins64_.data());
        return wide_value(0);
    }

    // The value of surrogate k of the selected pair.
    std::int64_t surrogate(std::uint64_t k) {
        const Geometry& g = sh_.geometry;
        if (sh_.settings.method == Method::shift) {
            Draws draws(sh_.settings.seed, Purpose::shift, source_row_, target_row_, k);
            const std::size_t offset = g.history + 1 + static_cast<std::size_t>(draws.below(g.length - 2 * g.history - 1));
            if (sh_.dense) return dense_->value(past(source_codes_.data(), offset), tables_.data(), sh_.xlogx);
            sh_.rows.widen(source_row_, bins64_.data());
            return wide_value(offset);
        }
        Draws draws(sh_.settings.seed, Purpose::shuffle, source_row_, target_row_, k);
        if (sh_.dense) {
            if (shuffled_.size() == 0) {
                shuffled_ = Buffer<std::uint32_t>::uninitialised(g.length);
                shuffled_codes_ = Buffer<std::uint32_t>::uninitialised(g.length);
            }
            const std::uint32_t* bins = sh_.rows.bins32(source_row_);
            std::copy(bins, bins + g.length, shuffled_.data());
            shuffle(shuffled_.data(), draws);
            circular_codes(shuffled_.data(), g, shuffled_codes_.data());
            return dense_->value(past(shuffled_codes_.data(), 0), tables_.data(), sh_.xlogx);
        }
        sh_.rows.widen(source_row_, bins64_.data());
        shuffle(bins64_.data(), draws);
        return wide_value(0);
    }

private:
    CodeView<std::uint32_t> past(const std::uint32_t* codes, std::size_t rotation) const {
        return CodeView<std::uint32_t>::past(codes, sh_.geometry, 1, rotation);
    }

    // Fisher-Yates from the last position down.
    template <class T>
    void shuffle(T* values, Draws& draws) const {
        for (std::size_t u = sh_.geometry.length - 1; u > 0; --u) {
            std::swap(values[u], values[draws.below(u + 1)]);
        }
    }

    void prepare_target(std::size_t target) {
        const Geometry& g = sh_.geometry;
        if (sh_.dense) {
            // Counted step t is step first + t of the series; its past ends
            // at first + t - 1, the circular code at first + t.
            circular_codes(sh_.rows.bins32(target), g, codes_.data());
            dense_.emplace(g, sh_.rows.bins32(target), codes_.data() + g.first, g.states, g.states, sh_.xlogx);
            if (tables_.size() < dense_->cells() + dense_->groups()) {
                tables_ = Buffer<std::uint32_t>::zeroed(dense_->cells() + dense_->groups());
            }
            return;
        }
        sh_.rows.widen(target, bins64_.data());
        circular_codes(bins64_.data(), g, sh_.weights, codes64_.data(), scratch64_.data());
        std::vector<std::uint64_t> context(codes64_.data() + g.first, codes64_.data() + g.length);
        std::vector<std::uint64_t> next(bins64_.data() + g.first, bins64_.data() + g.length);
        wide_.emplace(g.count, 1, std::move(context), std::move(next), sh_.xlogx);
    }

    // The wide value of the source bins in bins64_, rotated left by `rotation`.
    std::int64_t wide_value(std::size_t rotation) {
        const Geometry& g = sh_.geometry;
        circular_codes(bins64_.data(), g, sh_.weights, codes64_.data(), scratch64_.data());
        const CodeView<std::uint64_t> view = CodeView<std::uint64_t>::past(codes64_.data(), g, 1, rotation);
        for_each_step(g.count, view, [&](std::size_t t, std::size_t u) { source_words_[t] = codes64_[u]; });
        return wide_->value(source_words_.data(), 1, sh_.xlogx);
    }

    const Shared& sh_;
    std::size_t source_row_ = SIZE_MAX, target_row_ = SIZE_MAX;
    std::optional<DenseContext> dense_;
    std::optional<WideContext> wide_;
    // Dense: the target's and the source's circular codes, shuffled copies,
    // the counting tables.
    Buffer<std::uint32_t> codes_, source_codes_, shuffled_, shuffled_codes_, tables_;
    // Wide.
    Buffer<std::uint64_t> bins64_, codes64_, scratch64_, source_words_;
};

}  // namespace

void transfer_entropy_test(const BinnedRows& rows, const TestSettings& settings, Pool& pool,
                           const TestOutput& out) {
    const std::size_t m = rows.rows();
    const std::size_t length = rows.length();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const bool counts = transfer_counts_steps(length, settings.history);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            const bool diagonal = i == j;
            out.te[i * m + j] = 0.0;
            out.p_values[i * m + j] = diagonal ? nan : 1.0;
            out.null_mean[i * m + j] = diagonal ? nan : 0.0;
            out.null_std[i * m + j] = diagonal ? nan : 0.0;
        }
    }
    // Without counted steps every value, observed or not, is 0.0: p = 1.
    if (m < 2 || !counts || settings.surrogates == 0) return;
    const std::size_t h = static_cast<std::size_t>(settings.history);
    if (settings.method == Method::shift && length < 2 * h + 2) {
        throw std::invalid_argument("method='shift' needs series of at least 2 * history + 2 steps");
    }

    const Shared shared(rows, settings);
    const std::size_t pairs = m * (m - 1);
    std::vector<std::optional<TransferPairs>> exact(pool.workers());
    std::vector<std::optional<NullWorker>> workers(pool.workers());
    auto worker = [&](unsigned slot) -> NullWorker& {
        if (!workers[slot]) workers[slot].emplace(shared);
        return *workers[slot];
    };

    // The observed values, exact and in fixed point.
    Buffer<std::int64_t> observed = Buffer<std::int64_t>::uninitialised(pairs);
    pool.run(pairs, [&](std::size_t u, unsigned slot) {
        std::size_t i, j;
        ordered_pair(u, m, i, j);
        if (!exact[slot]) exact[slot].emplace(rows, settings.history);
        out.te[i * m + j] = exact[slot]->estimate(i, j);
        NullWorker& w = worker(slot);
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
            ordered_pair(u, m, i, j);
            NullWorker& w = worker(slot);
            w.select(i, j);
            std::int64_t* values = nulls.data() + (u - first) * surrogates;
            for (std::uint64_t k = k0; k < k1; ++k) values[k] = w.surrogate(k);
            return k1 - k0;
        });
        for (std::size_t u = first; u < first + in_round; ++u) {
            const std::int64_t* values = nulls.data() + (u - first) * surrogates;
            std::uint64_t at_least = 0;
            __int128 sum = 0;
            for (std::uint64_t k = 0; k < surrogates; ++k) {
                at_least += values[k] >= observed[u];
                sum += values[k];
            }
            const double mean = shared.xlogx.bits(sum) / static_cast<double>(surrogates);
            double squares = 0.0;
            for (std::uint64_t k = 0; k < surrogates; ++k) {
                const double d = shared.xlogx.bits(values[k]) - mean;
                squares += d * d;
            }
            std::size_t i, j;
            ordered_pair(u, m, i, j);
            out.p_values[i * m + j] = static_cast<double>(1 + at_least) / static_cast<double>(1 + surrogates);
            out.null_mean[i * m + j] = mean;
            out.null_std[i * m + j] = std::sqrt(squares / static_cast<double>(surrogates));
        }
        pool.poll();
    }
}

}  // namespace zelmo::network
