#include "estimator.hpp"

#include <algorithm>

#include "../kernels/key_counts.hpp"

namespace zelmo::network {

RowCodes::RowCodes(const BinnedRows& rows, const Geometry& g, const PastWeights& weights, Pool& pool)
    : length_(g.length), narrow_(g.states != 0 && rows.narrow()) {
    const std::size_t m = rows.rows();
    if (narrow_) {
        codes32_ = Buffer<std::uint32_t>::uninitialised(m * length_);
        pool.run(m, [&](std::size_t i, unsigned) {
            circular_codes(rows.bins32(i), g, codes32_.data() + i * length_);
            return std::uint64_t{0};
        });
        return;
    }
    codes64_ = Buffer<std::uint64_t>::uninitialised(m * length_);
    pool.run(m, [&](std::size_t i, unsigned) {
        Buffer<std::uint64_t> bins = Buffer<std::uint64_t>::uninitialised(length_);
        Buffer<std::uint64_t> scratch = Buffer<std::uint64_t>::uninitialised(length_ + g.history);
        rows.widen(i, bins.data());
        circular_codes(bins.data(), g, weights, codes64_.data() + i * length_, scratch.data());
        return std::uint64_t{0};
    });
}

void Estimator::build(Context& c, std::size_t target) {
    const Geometry& g = sh_.geometry;
    const std::size_t count = g.count, k = c.conditions.size();
    // The target's past ends one step before each counted step.
    auto past = [&](std::size_t row, std::size_t lag, std::size_t t) {
        return sh_.codes.code(row, (t + g.first + g.length - lag + 1) % g.length);
    };
    const bool narrow = sh_.codes.narrow();
    const std::uint64_t contexts = narrow ? bounded_power(g.states, 1 + k, kDenseStates) : 0;
    const std::uint64_t sources = narrow ? bounded_power(g.states, c.sources, kDenseStates) : 0;
    if (contexts != 0 && sources != 0 && DenseContext::fits(contexts, sources, g.radix)) {
        Buffer<std::uint32_t> context = Buffer<std::uint32_t>::uninitialised(count);
        for (std::size_t t = 0; t < count; ++t) {
            std::uint64_t code = 0;
            for (std::size_t q = k; q-- > 0;) code = code * g.states + past(c.conditions[q].row, c.conditions[q].lag, t);
            context[t] = static_cast<std::uint32_t>(code * g.states + past(target, 1, t));
        }
        c.dense.emplace(g, sh_.rows.bins32(target), context.data(), contexts, sources, sh_.xlogx);
        return;
    }
    std::vector<std::uint64_t> words(count * (1 + k)), next(count);
    Buffer<std::uint64_t> bins = Buffer<std::uint64_t>::uninitialised(g.length);
    sh_.rows.widen(target, bins.data());
    for (std::size_t t = 0; t < count; ++t) {
        words[t * (1 + k)] = past(target, 1, t);
        for (std::size_t q = 0; q < k; ++q) words[t * (1 + k) + 1 + q] = past(c.conditions[q].row, c.conditions[q].lag, t);
        next[t] = bins[g.first + t];
    }
    c.wide.emplace(count, 1 + k, std::move(words), std::move(next), sh_.xlogx);
}

SourceCodes Estimator::observed(std::size_t row) const {
    return sh_.codes.narrow() ? SourceCodes{sh_.codes.codes32(row), nullptr, 0}
                              : SourceCodes{nullptr, sh_.codes.codes64(row), 0};
}

SourceCodes Estimator::surrogate(Method method, Draws draws, std::size_t row) {
    const Geometry& g = sh_.geometry;
    if (method == Method::shift) {
        SourceCodes s = observed(row);
        s.rotation = sh_.reach + static_cast<std::size_t>(draws.below(g.length - 2 * sh_.reach + 1));
        return s;
    }
    const auto stream = draws.stream();
    for (const Shuffled& done : shuffled_) {
        if (done.row == row && done.stream == stream) return done.view();
    }
    if (shuffled_.size() == kShuffleCache) shuffled_.erase(shuffled_.begin());
    Shuffled& s = shuffled_.emplace_back();
    s.row = row;
    s.stream = stream;
    Buffer<std::uint64_t> bins = Buffer<std::uint64_t>::uninitialised(g.length);
    sh_.rows.widen(row, bins.data());
    for (std::size_t u = g.length - 1; u > 0; --u) std::swap(bins[u], bins[draws.below(u + 1)]);
    if (sh_.codes.narrow()) {
        Buffer<std::uint32_t> narrow = Buffer<std::uint32_t>::uninitialised(g.length);
        std::transform(bins.begin(), bins.end(), narrow.begin(), [](std::uint64_t b) { return static_cast<std::uint32_t>(b); });
        s.codes32 = Buffer<std::uint32_t>::uninitialised(g.length);
        circular_codes(narrow.data(), g, s.codes32.data());
    } else {
        Buffer<std::uint64_t> scratch = Buffer<std::uint64_t>::uninitialised(g.length + g.history);
        s.codes64 = Buffer<std::uint64_t>::uninitialised(g.length);
        circular_codes(bins.data(), g, sh_.weights, s.codes64.data(), scratch.data());
    }
    return s.view();
}

}  // namespace zelmo::network
