// The binned estimator as the search-and-test engine sees it: N times the
// conditional transfer entropy, in exact fixed point, of one or more
// sources (rows at given lags) into a target given its context (its own
// past and conditioning pasts), for the rows as observed and for their
// rotated or shuffled surrogates. Equal counts give equal values, so
// observed and null values are compared exactly. The estimates it reports
// are the single-pair functions' own numbers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "../engine/statistic.hpp"
#include "../parallel.hpp"
#include "binned_rows.hpp"
#include "fixed_point.hpp"
#include "states.hpp"
#include "transfer_pairs.hpp"

namespace zelmo::network {

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

class BinnedStatistic {
public:
    // N times the estimate in fixed point, over N = `steps` counted steps:
    // all of the window's, but where missing samples leave some out.
    struct Value {
        std::int64_t fixed = 0;
        std::uint64_t steps = 0;
    };

    // A target side in one of two forms: dense tables or sorted wide keys.
    // Where samples are missing, also its words per step (its own past and
    // the conditions), the next bins and which steps have all of them.
    struct Context {
        std::size_t sources = 1;
        std::optional<DenseContext> dense;
        std::optional<WideContext> wide;
        std::size_t width = 0;
        std::vector<std::uint64_t> words, next;
        Buffer<std::uint8_t> present;
        bool complete = true;
    };

    // Pasts of `history` bins; the steps counted start at `first`.
    BinnedStatistic(const BinnedRows& rows, std::uint64_t history, std::size_t first, Pool& pool);

    Window window() const { return window_; }
    // Values over different steps compare as fixed / steps, exactly.
    bool at_least(Value null, Value observed) const {
        if (null.steps == observed.steps) return null.fixed >= observed.fixed;
        if (null.steps == 0) return observed.fixed <= 0;
        if (observed.steps == 0) return null.fixed >= 0;
        return static_cast<__int128>(null.fixed) * observed.steps >= static_cast<__int128>(observed.fixed) * null.steps;
    }
    double bits(Value v) const {
        if (v.steps == window_.count) return xlogx_->bits(v.fixed);
        return v.steps == 0 ? 0.0 : xlogx_->bits(v.fixed, v.steps);
    }
    std::uint64_t steps_of(Value v) const { return v.steps; }
    NullSummary summarize(const Value* values, std::size_t n, std::size_t stride) const;
    bool analytic() const { return false; }
    double p_value(Value, std::size_t) const { return std::numeric_limits<double>::quiet_NaN(); }
    NullSummary analytic_summary(std::size_t) const { return {}; }
    std::size_t source_degrees() const { return static_cast<std::size_t>(history_); }

    class Worker {
    public:
        explicit Worker(const BinnedStatistic& stat) : st_(stat) {}

        void build(Context& c, const ContextSpec& spec);
        Value value(const Context& c, std::span<const Source> sources);
        // The estimate as the single-pair functions give it: transfer
        // entropy for a source at lag 1 given the target's past alone, else
        // the conditional estimate of conditional_transfer_entropy, each
        // counted over the steps at which its own pasts lie inside the
        // series.
        Estimate estimate(const ContextSpec& spec, std::span<const Source> sources);

    private:
        struct Shuffled {
            Buffer<std::uint32_t> codes32;
            Buffer<std::uint64_t> codes64;
            Buffer<std::uint8_t> present;  // of each circular past, where samples are missing

            // Formed on every use: a short buffer lives inside its entry,
            // which moves when the cache does.
            SourceCodes view() const {
                return codes32.size() != 0 ? SourceCodes{codes32.data(), nullptr, 0}
                                           : SourceCodes{nullptr, codes64.data(), 0};
            }
        };

        SourceCodes codes_of(const Source& source);
        const Shuffled& shuffled(Draws draws, std::size_t row);
        // The value over the steps at which every sample it uses is present.
        Value masked_value(const Context& c, std::span<const Source> sources);

        const BinnedStatistic& st_;
        Buffer<std::uint32_t> tables_, combined_;
        Buffer<std::uint64_t> words_;
        ShuffleCache<Shuffled, 64> shuffled_;
        std::optional<TransferPairs> pairs_;
    };

private:
    const BinnedRows& rows_;
    std::uint64_t history_;
    Window window_;
    Geometry geometry_;
    PastWeights weights_;
    std::optional<XLog2X> xlogx_;
    std::optional<RowCodes> codes_;
    // Where samples are missing: per row, whether every sample of the
    // circular past at each index is present (indexed as the codes).
    Buffer<std::uint8_t> past_present_;
};

// present[u] = whether the `history` samples ending at u - 1 (circularly)
// are all present, from the presence of each sample.
void circular_presence(const std::uint8_t* samples, std::size_t length, std::size_t history, std::uint8_t* present);

static_assert(Statistic<BinnedStatistic>);

}  // namespace zelmo::network
