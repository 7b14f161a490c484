// The nearest-neighbour (KSG) estimator as a statistic of the engine:
// conditional mutual information and transfer entropy in the conditional
// form of Frenzel and Pompe,
//
//   I(X; Y | Z) = psi(k) + < psi(n_z + 1) - psi(n_xz + 1) - psi(n_yz + 1) >,
//
// and mutual information by algorithm 1 of Kraskov, Stögbauer and
// Grassberger when Z is empty (estimate.hpp). Y is the target's next value,
// Z the target's own past and the conditions' pasts, X the sources' pasts;
// every variable is a row at a lag over the counted steps, each step a
// point. The rows arrive prepared (prepare.hpp: standardised or ranked, and
// with their noise), so a value depends only on them, never on the threads.
//
// A context holds Y and Z with their sorted lines and counting structures
// (a ksg::Context), built once; each value then builds only what depends on
// the source (its lines, the joint search and the counts with it), so the
// candidates and surrogates of one context share the target side. A step
// with a missing sample among the values it uses is left out: when a
// source's gaps leave out steps the context counts, the value is computed
// afresh over the steps every value has.
//
// Values are compared as they are computed, observed and surrogate alike;
// they may be negative and are reported as they are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "../../kernels/support.hpp"
#include "../engine/statistic.hpp"
#include "../gaussian/real_rows.hpp"
#include "estimate.hpp"

namespace zelmo::network {

class KsgStatistic {
public:
    struct Value {
        double bits = 0.0;
        std::uint64_t steps = 0;
    };

    struct Context {
        Window window;
        std::vector<Candidate> columns;       // Y (the target at lag 0) first, then the columns of Z
        std::unique_ptr<ksg::Context> ksg;    // Y and Z over every step of the window (when complete)
        Buffer<std::uint8_t> valid;           // per step, whether the context's values are all present (missing samples only)
        bool complete = true;                 // no step of the window is missing a context value
    };

    // Pasts of `history` values; the steps counted start at `first`; k the
    // neighbour rank (at least 1).
    KsgStatistic(const RealRows& rows, std::uint64_t history, std::size_t first, std::size_t k);

    Window window() const { return window_; }
    bool at_least(const Value& null, const Value& observed) const { return null.bits >= observed.bits; }
    double bits(const Value& v) const { return v.bits; }
    std::uint64_t steps_of(const Value& v) const { return v.steps; }
    NullSummary summarize(const Value* values, std::size_t n, std::size_t stride) const;
    bool analytic() const { return false; }
    double p_value(const Value&, std::size_t) const { return 1.0; }
    NullSummary analytic_summary(std::size_t) const { return {}; }
    std::size_t source_degrees() const { return static_cast<std::size_t>(history_); }
    std::size_t k() const { return k_; }

    class Worker {
    public:
        explicit Worker(const KsgStatistic& stat) : st_(stat) {}

        void build(Context& c, const ContextSpec& spec) { build(c, spec, st_.window_); }
        Value value(const Context& c, std::span<const Source> sources);
        // The value of observed sources over the steps at which their own
        // pasts and the context's lie inside the series.
        Estimate estimate(const ContextSpec& spec, std::span<const Source> sources);

    private:
        using Shuffled = ShuffledReals;

        void build(Context& c, const ContextSpec& spec, const Window& window);
        const Shuffled& shuffled(const Draws& draws, std::size_t row);
        // The sources' columns over the window into columns_ (and, with
        // missing samples, which steps they have into source_valid_).
        std::size_t gather_sources(const Context& c, std::span<const Source> sources);
        Value masked_value(const Context& c, std::span<const Source> sources, std::size_t dx);
        // The sorted lines of the gathered columns into work_.source_lines,
        // each as a window of its row's line, when no source is shuffled
        // and no sample is missing; false (nothing built) otherwise.
        bool window_lines(const Context& c, std::span<const Source> sources);

        const KsgStatistic& st_;
        ShuffleCache<Shuffled, 16> shuffled_;
        // The sorted lines of the last rows whose windows were asked for
        // (a test's surrogates rotate one row), a few to keep memory O(N).
        static constexpr std::size_t kRowLines = 2;
        std::vector<std::pair<std::size_t, ksg::SortedLine>> row_lines_;
        Buffer<double> columns_, compact_;
        Buffer<std::uint8_t> source_valid_, ok_;
        ksg::Workspace work_;
    };

private:
    const RealRows& rows_;
    std::uint64_t history_;
    std::size_t k_;
    Window window_;
};

static_assert(Statistic<KsgStatistic>);

}  // namespace zelmo::network
