// The statistic that the pairwise surrogate test and network inference
// share: N times the conditional transfer entropy, in fixed point, of one or
// more sources (rows at given lags) into a target given its context (its
// own past and conditioning pasts), for the rows as observed and for their
// rotated or shuffled surrogates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <vector>

#include "binned_rows.hpp"
#include "fixed_point.hpp"
#include "parallel.hpp"
#include "philox.hpp"
#include "states.hpp"
#include "surrogates.hpp"

namespace zelmo::network {

// The past of `history` bins of a row ending `lag` steps before the step
// predicted.
struct Candidate {
    std::size_t row;
    std::size_t lag;
    bool operator==(const Candidate&) const = default;
};

// The circular past codes of every row: 32-bit while a code has at most
// kDenseStates values (and the bins are narrow), else 64-bit as the
// single-pair functions form them.
class RowCodes {
public:
    RowCodes(const BinnedRows& rows, const Geometry& g, const PastWeights& weights, Pool& pool);

    bool narrow() const { return narrow_; }
    const std::uint32_t* codes32(std::size_t row) const { return codes32_.data() + row * length_; }
    const std::uint64_t* codes64(std::size_t row) const { return codes64_.data() + row * length_; }
    std::uint64_t code(std::size_t row, std::size_t u) const {
        return narrow_ ? codes32_[row * length_ + u] : codes64_[row * length_ + u];
    }

private:
    std::size_t length_;
    bool narrow_;
    Buffer<std::uint32_t> codes32_;
    Buffer<std::uint64_t> codes64_;
};

// The codes of one source row: its circular codes rotated, or the codes of
// a shuffled copy.
struct SourceCodes {
    const std::uint32_t* codes32 = nullptr;
    const std::uint64_t* codes64 = nullptr;
    std::size_t rotation = 0;
};

// A target side: the target's past and the pasts of `conditions`, for
// sources of `sources` past codes each; build() fills one of the forms.
struct Context {
    std::vector<Candidate> conditions;
    std::size_t sources = 1;
    std::optional<DenseContext> dense;
    std::optional<WideContext> wide;
};

// What every thread reads.
struct Shared {
    const BinnedRows& rows;
    const Geometry& geometry;
    const RowCodes& codes;
    const XLog2X& xlogx;
    const PastWeights& weights;
    std::size_t reach;  // a shift moves a source by reach .. length - reach steps
};

// Per-thread scratch.
class Estimator {
public:
    explicit Estimator(const Shared& shared) : sh_(shared) {}

    void build(Context& c, std::size_t target);

    // The value of `sources` given the context, each source's codes as
    // source_of(row) gives them (called just before they are read).
    template <class SourceOf>
    std::int64_t value(const Context& c, const std::vector<Candidate>& sources, SourceOf source_of);

    // The codes of `row` as observed.
    SourceCodes observed(std::size_t row) const;

    // The codes of `row` in the surrogate that `draws` makes: rotated by
    // reach plus a uniform draw below length - 2 reach + 1, or shuffled by
    // Fisher-Yates from the last position down. Shuffled codes are kept
    // for the other sources of the same surrogate.
    SourceCodes surrogate(Method method, Draws draws, std::size_t row);

private:
    struct Shuffled {
        std::size_t row = 0;
        std::array<std::uint64_t, 5> stream{};
        Buffer<std::uint32_t> codes32;
        Buffer<std::uint64_t> codes64;

        // Formed on every use: a short buffer lives inside its entry, which
        // moves when the cache does.
        SourceCodes view() const {
            return codes32.size() != 0 ? SourceCodes{codes32.data(), nullptr, 0}
                                       : SourceCodes{nullptr, codes64.data(), 0};
        }
    };
    static constexpr std::size_t kShuffleCache = 64;

    const Shared& sh_;
    Buffer<std::uint32_t> tables_, combined_;
    Buffer<std::uint64_t> words_;
    std::vector<Shuffled> shuffled_;
};

template <class SourceOf>
std::int64_t Estimator::value(const Context& c, const std::vector<Candidate>& sources, SourceOf source_of) {
    const Geometry& g = sh_.geometry;
    const std::size_t count = g.count;
    if (c.dense) {
        const std::size_t needed = c.dense->cells() + c.dense->groups();
        if (tables_.size() < needed) tables_ = Buffer<std::uint32_t>::zeroed(needed);
        if (sources.size() == 1) {
            const SourceCodes s = source_of(sources[0].row);
            return c.dense->value(CodeView<std::uint32_t>::past(s.codes32, g, sources[0].lag, s.rotation),
                                  tables_.data(), sh_.xlogx);
        }
        // Several sources: one code per step, sum of code_q * states^q.
        if (combined_.size() < count) combined_ = Buffer<std::uint32_t>::uninitialised(count);
        std::fill(combined_.begin(), combined_.begin() + count, std::uint32_t{0});
        for (std::size_t q = sources.size(); q-- > 0;) {
            const SourceCodes s = source_of(sources[q].row);
            const auto view = CodeView<std::uint32_t>::past(s.codes32, g, sources[q].lag, s.rotation);
            for_each_step(count, view, [&](std::size_t t, std::size_t u) {
                combined_[t] = static_cast<std::uint32_t>(combined_[t] * g.states + s.codes32[u]);
            });
        }
        return c.dense->value(CodeView<std::uint32_t>{combined_.data(), count, 0}, tables_.data(), sh_.xlogx);
    }
    const std::size_t width = sources.size();
    if (words_.size() < count * width) words_ = Buffer<std::uint64_t>::uninitialised(count * width);
    for (std::size_t q = 0; q < width; ++q) {
        const SourceCodes s = source_of(sources[q].row);
        auto copy = [&](const auto* codes) {
            const auto view = CodeView<std::remove_cvref_t<decltype(*codes)>>::past(codes, g, sources[q].lag, s.rotation);
            for_each_step(count, view, [&](std::size_t t, std::size_t u) { words_[t * width + q] = codes[u]; });
        };
        if (s.codes64 != nullptr) {
            copy(s.codes64);
        } else {
            copy(s.codes32);
        }
    }
    return c.wide->value(words_.data(), width, sh_.xlogx);
}

}  // namespace zelmo::network
