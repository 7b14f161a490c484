// What the search-and-test engine asks of an estimator. The engine (the
// pairwise surrogate test, network inference, the matrices) is written once
// over this interface; each estimator lives in its own folder and supplies a
// statistic that satisfies it.
//
// A test asks how much the past of one or more sources tells about a
// target's next value given a context (the target's own past and the pasts
// of conditioning series). The engine names the variables (rows at lags),
// draws the surrogates and compares values; the statistic prepares its data
// once per call, builds the target side of a test once per context, and
// gives the value of sources as observed or as a surrogate replaces them.
#pragma once

#include <algorithm>
#include <cstring>
#include <array>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "../../kernels/stop.hpp"
#include "../philox.hpp"

namespace zelmo::network {

// How a surrogate replaces a source row.
enum class Method {
    // The row rotated left by d steps, source'(t) = source((t + d) mod L),
    // with d drawn uniformly from [reach, L - reach]: keeps the source's own
    // dynamics (its autocorrelation) and moves it against the target.
    shift,
    // The row's samples in a uniformly random order (Fisher-Yates from the
    // last position down).
    shuffle,
};

// A variable of a test: the past of `row` whose latest value lies `lag`
// steps before the step predicted (each statistic knows how many values a
// past holds).
struct Candidate {
    std::size_t row = 0;
    std::size_t lag = 1;
    bool operator==(const Candidate&) const = default;
};

// The steps a call counts: t in [first, length), every past inside the
// series.
struct Window {
    std::size_t length = 0;
    std::size_t first = 0;
    std::size_t count = 0;

    Window() = default;
    Window(std::size_t length_, std::size_t first_)
        : length(length_), first(first_), count(length_ > first_ ? length_ - first_ : 0) {}
};

// The first step at which a target's past of `history` values and pasts of
// `history` values whose latest lies `longest_lag` steps back all lie
// inside the series. SIZE_MAX, beyond any series, when the sum overflows:
// then no step is counted.
inline std::size_t first_counted_step(std::size_t history, std::size_t longest_lag) {
    std::size_t reach;
    if (__builtin_add_overflow(longest_lag, history, &reach)) return SIZE_MAX;
    return reach > history + 1 ? reach - 1 : history;
}

// The values of a row's column at lag `lag` over the window's steps
// (first + t for t < count), the row rotated left by `rotation`:
// out[t] = x[(first + t - lag + rotation) mod length]. Needs lag <= first.
template <class T>
void gather(const T* x, const Window& w, std::size_t lag, std::size_t rotation, T* out) {
    std::size_t u = (w.first - lag + rotation) % w.length;
    std::size_t t = 0;
    while (t < w.count) {
        const std::size_t run = std::min(w.count - t, w.length - u);
        std::memcpy(out + t, x + u, run * sizeof(T));
        t += run;
        u = 0;
    }
}

// How one source row enters a value: as observed, rotated, or shuffled by
// the stream `draws` (the statistic applies the shuffle with shuffle_rows).
struct Draw {
    enum class Kind { observed, rotated, shuffled };
    Kind kind = Kind::observed;
    std::size_t rotation = 0;
    Draws draws{0, Purpose::shift, 0, 0, 0};

    static Draw observed() { return Draw{}; }

    // A surrogate of a row drawn from `draws`: for a shift, an offset in
    // [reach, length - reach] (which needs length >= 2 reach).
    static Draw surrogate(Method method, Draws draws, std::size_t length, std::size_t reach) {
        Draw d;
        if (method == Method::shift) {
            d.kind = Kind::rotated;
            d.rotation = reach + static_cast<std::size_t>(draws.below(length - 2 * reach + 1));
        } else {
            d.kind = Kind::shuffled;
            d.draws = draws;
        }
        return d;
    }
};

// Shuffles values[0 .. n) in place by Fisher-Yates from the last position
// down, each position's partner drawn from `draws`: the one permutation a
// stream names, whatever the values are.
template <class T>
void shuffle_values(Draws draws, T* values, std::size_t n) {
    for (std::size_t u = n; u-- > 1;) {
        stop_point(u);
        std::swap(values[u], values[draws.below(u + 1)]);
    }
}

// A worker's last few shuffled rows, each in the form its statistic reads
// (`Entry`), keyed by row and draw stream: the candidates of one surrogate
// share their shuffles. The oldest goes when `Capacity` are kept. An entry
// is formed aside and kept only once whole, so a stop or a failed
// allocation while forming it leaves nothing half-made behind.
template <class Entry, std::size_t Capacity>
class ShuffleCache {
public:
    // The entry of (draws, row), formed by fill(Entry&) when not kept.
    template <class Fill>
    const Entry& get(const Draws& draws, std::size_t row, Fill fill) {
        const std::array<std::uint64_t, 5> stream = draws.stream();
        for (const Slot& slot : slots_) {
            if (slot.row == row && slot.stream == stream) return slot.entry;
        }
        Slot slot{row, stream, Entry{}};
        fill(slot.entry);
        if (slots_.size() == Capacity) slots_.erase(slots_.begin());
        return slots_.emplace_back(std::move(slot)).entry;
    }

private:
    struct Slot {
        std::size_t row;
        std::array<std::uint64_t, 5> stream;
        Entry entry;
    };
    std::vector<Slot> slots_;
};

// A source of a value: a candidate, and how its row is drawn.
struct Source {
    Candidate candidate;
    Draw draw;
};

// The target side of a test: the target's next value, its own past of
// `history` values (ending one step back) and the pasts of `conditions`,
// for `sources` sources at a time.
struct ContextSpec {
    std::size_t target = 0;
    std::size_t history = 0;
    std::vector<Candidate> conditions;
    std::size_t sources = 1;
};

// An estimate as the functions report it.
struct Estimate {
    double value = 0.0;      // in bits
    std::uint64_t states = 0;  // distinct joint states counted (binned estimators), else 0
    std::uint64_t steps = 0;   // steps counted
};

// Mean and standard deviation (ddof 0) of null values, in bits.
struct NullSummary {
    double mean = 0.0;
    double std = 0.0;
};

// The mean and standard deviation (ddof 0) of n values at a stride, in
// bits as bits(v) gives them, summed in order; `mean`, when given, in place
// of their mean (an estimator whose values sum exactly).
template <class Value, class Bits>
NullSummary summary_in_bits(const Value* values, std::size_t n, std::size_t stride, Bits bits,
                            const double* mean = nullptr) {
    NullSummary out;
    if (n == 0) return out;
    if (mean != nullptr) {
        out.mean = *mean;
    } else {
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) sum += bits(values[k * stride]);
        out.mean = sum / static_cast<double>(n);
    }
    double squares = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double d = bits(values[k * stride]) - out.mean;
        squares += d * d;
    }
    out.std = std::sqrt(squares / static_cast<double>(n));
    return out;
}

// The interface. S is shared by every thread of a call (read only); each
// thread has an S::Worker with its own scratch, and a built S::Context is
// read by any worker.
//   S::Value                      a value as compared (an exact form)
//   s.window()                    the steps counted
//   s.at_least(null, observed)    whether a null value reaches the observed
//   s.bits(v)                     the value in bits
//   s.steps_of(v)                 the steps the value counted
//   s.summarize(values, n, step)  mean and std of n values at a stride
//   s.analytic()                  whether p-values can come from a formula:
//   s.p_value(v, degrees)         then the p-value of a value whose null is
//                                 chi-squared with `degrees` degrees
//   s.analytic_summary(degrees)   then the mean and std of that null, in bits
//   s.source_degrees()            degrees of freedom of one source
//   S::Worker(s); w.build(ctx, spec); w.value(ctx, sources);
//   w.estimate(spec, sources)     the reported estimate of observed sources
template <class S>
concept Statistic = requires(const S& s, typename S::Worker& w, typename S::Context& c, const ContextSpec& spec,
                             std::span<const Source> sources, typename S::Value v, const typename S::Value* vs) {
    { s.window() } -> std::convertible_to<Window>;
    { s.at_least(v, v) } -> std::same_as<bool>;
    { s.bits(v) } -> std::same_as<double>;
    { s.steps_of(v) } -> std::same_as<std::uint64_t>;
    { s.summarize(vs, std::size_t{}, std::size_t{}) } -> std::same_as<NullSummary>;
    { s.analytic() } -> std::same_as<bool>;
    { s.p_value(v, std::size_t{}) } -> std::same_as<double>;
    { s.analytic_summary(std::size_t{}) } -> std::same_as<NullSummary>;
    { s.source_degrees() } -> std::same_as<std::size_t>;
    requires std::constructible_from<typename S::Worker, const S&>;
    w.build(c, spec);
    { w.value(std::as_const(c), sources) } -> std::same_as<typename S::Value>;
    { w.estimate(spec, sources) } -> std::same_as<Estimate>;
};

// A statistic whose worker also gives the values of many single sources
// against one context at once: w.values(ctx, sources, out) sets out[i] to
// w.value(ctx, {sources[i]}), the same to the last bit.
template <class S>
concept BatchValues = requires(typename S::Worker& w, const typename S::Context& c, std::span<const Source> sources,
                               typename S::Value* out) { w.values(c, sources, out); };

}  // namespace zelmo::network
