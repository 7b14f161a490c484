// The Gaussian estimator: conditional mutual information and transfer
// entropy from the covariance of the variables involved,
//
//   I(X; Y | Z) = 1/2 log(|S_XZ| |S_YZ| / (|S_Z| |S_XYZ|)),
//
// computed as 1/2 log(var(Y | Z) / var(Y | Z, X)) from a Cholesky
// factorisation (linalg.hpp). Variables are rows at lags over the counted
// steps; the target side (its next value, its own past and the
// conditions) is centred and its covariance formed once per context, and
// each value then needs only the dot products of the sources' columns with
// it. A step with a missing sample among the values it uses is left out.
//
// For jointly Gaussian series with no coupling, 2 N I (in nats, N the steps
// counted) follows chi-squared with dim X degrees of freedom for large N,
// which gives the analytic null.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../../kernels/support.hpp"
#include "../engine/statistic.hpp"
#include "real_rows.hpp"

namespace zelmo::network {

class GaussianStatistic {
public:
    // Compared by value; `steps` is the number of steps it counts.
    struct Value {
        double nats = 0.0;
        std::uint64_t steps = 0;
    };

    // The target side of a test over the counted steps.
    struct Context {
        Window window;
        std::vector<Candidate> columns;  // Z as (row, lag) columns; Y (the target, lag 0) last
        std::size_t dz = 0;
        Buffer<double> centred;           // (dz + 1) x count, each column centred (when no step is missing)
        std::vector<double> cov;          // (dz + 1)^2 covariance of Z and Y
        Buffer<double> ones;              // count ones, whose product with a column is its sum
        Buffer<std::uint8_t> valid;       // per step, whether the context's values are all present (missing samples only)
        bool complete = true;             // no step of the window is missing a context value
    };

    // Pasts of `history` values; the steps counted start at `first`.
    GaussianStatistic(const RealRows& rows, std::uint64_t history, std::size_t first);

    Window window() const { return window_; }
    bool at_least(const Value& null, const Value& observed) const { return null.nats >= observed.nats; }
    double bits(const Value& v) const { return v.nats / std::log(2.0); }
    std::uint64_t steps_of(const Value& v) const { return v.steps; }
    NullSummary summarize(const Value* values, std::size_t n, std::size_t stride) const;
    bool analytic() const { return true; }
    double p_value(const Value& v, std::size_t degrees) const;
    NullSummary analytic_summary(std::size_t degrees) const;
    std::size_t source_degrees() const { return static_cast<std::size_t>(history_); }

    class Worker {
    public:
        explicit Worker(const GaussianStatistic& stat) : st_(stat) {}

        void build(Context& c, const ContextSpec& spec) { build(c, spec, st_.window_); }
        Value value(const Context& c, std::span<const Source> sources);
        // out[i] = value(c, {sources[i]}) for each single source, the same
        // to the last bit.
        void values(const Context& c, std::span<const Source> sources, Value* out);
        // The value of observed sources over the steps at which their own
        // pasts and the context's lie inside the series.
        Estimate estimate(const ContextSpec& spec, std::span<const Source> sources);

    private:
        using Shuffled = ShuffledReals;

        void build(Context& c, const ContextSpec& spec, const Window& window);
        // The row a source reads: as observed (rotated by `rotation`), or a
        // shuffled copy.
        const Shuffled& shuffled(const Draws& draws, std::size_t row);
        // cov_ as d x d, holding the context's covariance.
        void context_covariance(const Context& c, std::size_t d);
        struct Placement;
        Placement place(const Context& c, const Source& s);
        // The value of one source from its column's products with the
        // context, with ones and with itself.
        Value single_value(const Context& c, const double* sums);
        Value complete_value(const Context& c, std::span<const Source> sources);
        Value masked_value(const Context& c, std::span<const Source> sources);

        const GaussianStatistic& st_;
        ShuffleCache<Shuffled, 16> shuffled_;
        Buffer<double> columns_, work_;
        std::vector<double> cov_;
        std::vector<double> lanes_, sums_;
    };

private:
    const RealRows& rows_;
    std::uint64_t history_;
    Window window_;
};

static_assert(Statistic<GaussianStatistic>);

}  // namespace zelmo::network
