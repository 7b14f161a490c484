// Network inference by greedy multivariate transfer entropy, written once
// for every statistic: for each target, the pasts (rows at lags) that tell
// about its next value beyond its own past and the other selected sources,
// each step tested against surrogates or, where the statistic has one,
// against its analytic null.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "../parallel.hpp"
#include "statistic.hpp"

namespace zelmo::network {

struct InferenceSettings {
    std::uint64_t history = 1;      // values per past of a source
    std::size_t target_history = 1; // the target's own past, fixed (0 when it is selected)
    std::size_t max_lag = 1;        // sources at lags 1 .. max_lag
    std::size_t max_history = 0;    // > 0: the target's lags 1 .. max_history are selected first
    double alpha = 0.05;
    std::uint64_t surrogates = 200;
    Method method = Method::shift;
    std::uint64_t seed = 0;
    std::size_t max_sources = 0;    // 0: no limit
    bool analytic = false;          // p-values from the statistic's analytic null
    // Draw a test's surrogates in rounds and stop once its decision at alpha
    // can no longer change: once so many null values have reached the
    // observed one that its p-value over all `surrogates` would be at least
    // alpha. A test whose p-value is not corrected across targets (a step of
    // the target's past, a selection step after the first, pruning) also
    // stops, significant, once early_stop(settings) null values are drawn
    // and none has reached the observed one. The p-value is then exact for
    // the surrogates drawn.
    bool sequential = false;

    // The longest lag of any candidate.
    std::size_t longest_lag() const { return std::max(max_lag, max_history); }
    // A shift moves a source by reach .. length - reach steps.
    std::size_t reach() const { return static_cast<std::size_t>(history) + longest_lag(); }
};

struct Link {
    std::size_t source = 0;
    std::size_t lag = 0;
    double te = 0.0;          // given the target's past and its other links, as conditional_transfer_entropy gives it
    double p_value = 1.0;     // of that value against the link's own null
    std::uint64_t states = 0; // distinct joint states counted for te (binned estimators)
    std::uint64_t steps = 0;  // steps counted for te
};

struct TargetResult {
    std::size_t target = 0;
    std::vector<Link> links;           // in order of selection
    std::vector<std::size_t> history;  // the selected lags of the target's own past, in order of selection
    double first_p = -1.0;    // of the first selection step of sources (the maximum statistic); -1: not tested
    double omnibus_p = -1.0;  // of all selected sources together; -1 when none were selected
    std::uint64_t steps = 0;  // steps counted by the omnibus test (or, without sources, the first selection step)
    std::uint64_t surrogates = 0;  // surrogate values drawn by all its tests
};

namespace search_detail {

enum class Kind { history, select, prune, omnibus, link };
enum class Stage { history, select, prune, omnibus, link, done };

// One value of a test: `sources` given context `context`.
struct Entry {
    std::vector<Candidate> sources;
    std::size_t context = 0;
};

template <class Value>
struct Test {
    Kind kind = Kind::select;
    std::uint64_t step = 0;
    std::vector<ContextSpec> specs;
    std::vector<Entry> entries;
    std::vector<Value> observed;  // per entry
    std::vector<Value> nulls;     // per surrogate (per entry and surrogate for links)
    std::uint64_t drawn = 0;      // surrogates computed so far
    bool settled = false;         // its decision at alpha can no longer change
};

// The draws of a test's surrogates keep the kinds of test apart.
inline Purpose purpose_of(Kind kind) {
    switch (kind) {
        case Kind::history: return Purpose::history;
        case Kind::select: return Purpose::select;
        case Kind::prune: return Purpose::prune;
        case Kind::omnibus: return Purpose::omnibus;
        case Kind::link: return Purpose::link;
    }
    return Purpose::link;
}

// The p-value that the largest of `candidates` independent values, each
// with p-value p, is this large: 1 - (1 - p)^candidates. For jointly normal
// statistics it bounds the true maximum's p-value from above whatever their
// correlation (Sidak's inequality), so a test on it keeps its level.
inline double sidak(double p, std::size_t candidates) {
    if (candidates <= 1 || p >= 1.0) return p;
    return -std::expm1(static_cast<double>(candidates) * std::log1p(-p));
}

template <class S>
struct Search {
    using Value = typename S::Value;
    std::size_t target = 0;
    std::vector<Candidate> remaining_history, history;
    std::vector<Candidate> remaining, selected;
    Stage stage = Stage::select;
    std::uint64_t history_steps = 0, select_steps = 0, prune_steps = 0;
    double first_p = -1.0;
    double omnibus_p = -1.0;
    std::uint64_t steps = 0;
    std::uint64_t surrogates = 0;
    std::vector<double> link_p;
    Test<Value> test;

    ContextSpec spec(const InferenceSettings& settings, std::vector<Candidate> others, std::size_t sources) const {
        ContextSpec c;
        c.target = target;
        c.history = settings.target_history;
        c.conditions = history;
        c.conditions.insert(c.conditions.end(), others.begin(), others.end());
        c.sources = sources;
        return c;
    }
};

template <class S>
bool testing(const Search<S>& s) { return s.stage != Stage::done; }

// Sets up the test of the search's current stage, moving on past stages
// with nothing to test.
template <class S>
void plan(Search<S>& s, const InferenceSettings& settings) {
    auto& test = s.test;
    test = {};
    if (s.stage == Stage::history && s.remaining_history.empty()) s.stage = Stage::select;
    if (s.stage == Stage::select &&
        (s.remaining.empty() || (settings.max_sources != 0 && s.selected.size() >= settings.max_sources))) {
        s.stage = Stage::prune;
    }
    if ((s.stage == Stage::prune || s.stage == Stage::omnibus) && s.selected.empty()) s.stage = Stage::done;
    switch (s.stage) {
        case Stage::history:
            test.kind = Kind::history;
            test.step = s.history_steps;
            test.specs.push_back(s.spec(settings, {}, 1));
            for (const Candidate& c : s.remaining_history) test.entries.push_back(Entry{{c}, 0});
            break;
        case Stage::select:
            test.kind = Kind::select;
            test.step = s.select_steps;
            test.specs.push_back(s.spec(settings, s.selected, 1));
            for (const Candidate& c : s.remaining) test.entries.push_back(Entry{{c}, 0});
            break;
        case Stage::prune:
        case Stage::link:
            test.kind = s.stage == Stage::prune ? Kind::prune : Kind::link;
            test.step = s.stage == Stage::prune ? s.prune_steps : 0;
            for (std::size_t q = 0; q < s.selected.size(); ++q) {
                std::vector<Candidate> others = s.selected;
                others.erase(others.begin() + static_cast<std::ptrdiff_t>(q));
                test.specs.push_back(s.spec(settings, std::move(others), 1));
                test.entries.push_back(Entry{{s.selected[q]}, q});
            }
            break;
        case Stage::omnibus:
            test.kind = Kind::omnibus;
            test.specs.push_back(s.spec(settings, {}, s.selected.size()));
            test.entries.push_back(Entry{s.selected, 0});
            break;
        default:
            return;
    }
    test.observed.assign(test.entries.size(), {});
    if (!settings.analytic) {
        const std::size_t per_k = test.kind == Kind::link ? test.entries.size() : 1;
        test.nulls.assign(static_cast<std::size_t>(settings.surrogates) * per_k, {});
    }
}

template <class S>
std::size_t strongest(const S& stat, const std::vector<typename S::Value>& values, bool largest) {
    std::size_t best = 0;
    for (std::size_t e = 1; e < values.size(); ++e) {
        const bool better = largest ? !stat.at_least(values[best], values[e]) : !stat.at_least(values[e], values[best]);
        if (better) best = e;
    }
    return best;
}

// How many of the test's null values so far reach entry e's observed value.
template <class S>
std::uint64_t reached(const S& stat, const Test<typename S::Value>& test, std::size_t e) {
    const std::size_t stride = test.kind == Kind::link ? test.entries.size() : 1;
    const std::size_t offset = test.kind == Kind::link ? e : 0;
    std::uint64_t count = 0;
    for (std::uint64_t k = 0; k < test.drawn; ++k) count += stat.at_least(test.nulls[k * stride + offset], test.observed[e]);
    return count;
}

// The fewest null values reaching the observed one at which the p-value
// over all the surrogates is at least alpha: (1 + r) / (1 + S) >= alpha.
inline std::uint64_t settling_count(const InferenceSettings& settings) {
    const double r = std::ceil(settings.alpha * static_cast<double>(1 + settings.surrogates)) - 1.0;
    return r < 0.0 ? 0 : static_cast<std::uint64_t>(r);
}

// The fewest surrogates after which a test stops as significant when none
// of them has reached the observed value; `surrogates` when no such stop
// keeps the level. With S surrogates the full test rejects when at most
// r - 1 of them reach the observed value (r = settling_count), which under
// the null hypothesis (the observed value exchangeable with the null
// values) happens with probability r / (S + 1), a little below alpha. The
// early stop after m surrogates rejects besides that only when none of the
// first m reach it but at least r of all S do: with R of the S reaching it,
// each R equally likely, that has probability
//
//   delta(m) = 1 / (S + 1) * sum over R = r .. S - m of C(S - m, R) / C(S, R),
//
// the chance that the R lie among the last S - m. The stop is allowed from
// the least m with r / (S + 1) + delta(m) <= alpha (and 1 / (1 + m) below
// alpha), so that the test keeps its level. delta falls with m: bisection.
// The sum takes about 700 S / m terms; beyond kEarlyStopMost surrogates no
// test stops early as significant.
inline constexpr std::uint64_t kEarlyStopMost = 1'000'000;

inline std::uint64_t early_stop(const InferenceSettings& settings) {
    const std::uint64_t total = settings.surrogates, r = settling_count(settings);
    const double size = static_cast<double>(total) + 1.0;
    const double budget = (settings.alpha - static_cast<double>(r) / size) * size;  // for the sum
    auto keeps_level = [&](std::uint64_t m) {
        if (!(1.0 / (1.0 + static_cast<double>(m)) < settings.alpha)) return false;
        // term(R) = C(S - m, R) / C(S, R), from term(0) = 1.
        double term = 1.0, delta = 0.0;
        for (std::uint64_t R = 1; R <= total - m; ++R) {
            term *= static_cast<double>(total - m - R + 1) / static_cast<double>(total - R + 1);
            if (R >= r) delta += term;
            if (delta > budget) return false;
            if (term < 1e-300) break;
        }
        return true;
    };
    if (r == 0 || total == 0 || total > kEarlyStopMost || !keeps_level(total - 1)) return total;
    std::uint64_t lo = 1, hi = total - 1;  // keeps_level(hi)
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (keeps_level(mid)) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return hi;
}

// Whether a test may stop early as significant: its p-value is compared
// with alpha alone, never corrected across targets (the first selection
// step and the omnibus test give a target its p-value; the final links'
// p-values are reported).
inline bool may_stop_significant(Kind kind, std::uint64_t step) {
    return kind == Kind::history || kind == Kind::prune || (kind == Kind::select && step > 0);
}

// Whether the test's decision at alpha is fixed by the surrogates drawn so
// far: for the maximum and minimum statistics, the one entry decided; for
// the final links, every entry (an entry whose p-value will reach alpha).
// `early` is early_stop(settings).
template <class S>
bool settled(const S& stat, const Test<typename S::Value>& test, const InferenceSettings& settings,
             std::uint64_t early) {
    const std::uint64_t limit = settling_count(settings);
    if (test.kind == Kind::link) {
        for (std::size_t e = 0; e < test.entries.size(); ++e) {
            if (reached(stat, test, e) < limit) return false;
        }
        return true;
    }
    const std::size_t e = test.kind == Kind::prune ? strongest(stat, test.observed, false)
                          : test.kind == Kind::omnibus ? 0 : strongest(stat, test.observed, true);
    const std::uint64_t count = reached(stat, test, e);
    if (count >= limit) return true;
    return count == 0 && test.drawn >= early && may_stop_significant(test.kind, test.step);
}

// The p-value of entry e of the test: against its surrogates, or from the
// analytic null, corrected for the maximum over candidates of a selection.
template <class S>
double p_value(const S& stat, const Test<typename S::Value>& test, const InferenceSettings& settings, std::size_t e,
               std::size_t candidates) {
    const auto observed = test.observed[e];
    if (settings.analytic) {
        const std::size_t degrees = stat.source_degrees() * test.entries[e].sources.size();
        const double p = stat.p_value(observed, degrees);
        return test.kind == Kind::select || test.kind == Kind::history ? sidak(p, candidates) : p;
    }
    return static_cast<double>(1 + reached(stat, test, e)) / static_cast<double>(1 + test.drawn);
}

// Moves the search on after its test.
template <class S>
void advance(Search<S>& s, const S& stat, const InferenceSettings& settings) {
    auto& test = s.test;
    switch (test.kind) {
        case Kind::history:
        case Kind::select: {
            const std::size_t best = strongest(stat, test.observed, true);
            const double p = p_value(stat, test, settings, best, test.entries.size());
            const Candidate chosen = test.entries[best].sources[0];
            auto& pool = test.kind == Kind::history ? s.remaining_history : s.remaining;
            auto& into = test.kind == Kind::history ? s.history : s.selected;
            if (test.kind == Kind::history) {
                ++s.history_steps;
            } else {
                if (s.select_steps == 0) {
                    s.first_p = p;
                    s.steps = stat.steps_of(test.observed[best]);
                }
                ++s.select_steps;
            }
            if (p < settings.alpha) {
                into.push_back(chosen);
                pool.erase(std::find(pool.begin(), pool.end(), chosen));
            } else {
                s.stage = test.kind == Kind::history ? Stage::select : Stage::prune;
            }
            break;
        }
        case Kind::prune: {
            const std::size_t weakest = strongest(stat, test.observed, false);
            ++s.prune_steps;
            if (p_value(stat, test, settings, weakest, 1) >= settings.alpha) {
                s.selected.erase(s.selected.begin() + static_cast<std::ptrdiff_t>(weakest));
            } else {
                s.stage = Stage::omnibus;
            }
            break;
        }
        case Kind::omnibus:
            s.omnibus_p = p_value(stat, test, settings, 0, 1);
            s.steps = stat.steps_of(test.observed[0]);
            s.stage = Stage::link;
            break;
        case Kind::link:
            s.link_p.clear();
            for (std::size_t e = 0; e < test.entries.size(); ++e) s.link_p.push_back(p_value(stat, test, settings, e, 1));
            s.stage = Stage::done;
            break;
    }
}

// The sources of an entry: as observed, or as surrogate k draws them (each
// row's draw keyed by the target, the step and the row).
template <class S>
std::vector<Source> sources_of(const Search<S>& s, const Entry& entry, const InferenceSettings& settings,
                               const Window& window, std::optional<std::uint64_t> k) {
    std::vector<Source> out;
    out.reserve(entry.sources.size());
    for (const Candidate& c : entry.sources) {
        Draw draw = Draw::observed();
        if (k) {
            const Draws draws(settings.seed, purpose_of(s.test.kind), s.target, (s.test.step << 32) | c.row, *k);
            draw = Draw::surrogate(settings.method, draws, window.length, settings.reach());
        }
        out.push_back(Source{c, draw});
    }
    return out;
}

// Runs the tests of every search that has one, on the pool: the contexts,
// the observed values, then the surrogates in blocks. `early` is
// early_stop(settings) with `sequential`.
template <class S>
void run_tests(std::vector<Search<S>>& searches, const S& stat, const InferenceSettings& settings, Pool& pool,
               std::vector<std::optional<typename S::Worker>>& workers,
               std::vector<std::vector<typename S::Context>>& contexts, std::uint64_t early) {
    using Value = typename S::Value;
    auto worker = [&](unsigned slot) -> typename S::Worker& {
        if (!workers[slot]) workers[slot].emplace(stat);
        return *workers[slot];
    };
    std::vector<std::size_t> active;
    for (std::size_t r = 0; r < searches.size(); ++r) {
        if (testing(searches[r])) active.push_back(r);
    }
    // Units of work as (search, item) over the active searches.
    auto units = [&](auto items) {
        std::vector<std::pair<std::size_t, std::size_t>> out;
        for (std::size_t r : active) {
            for (std::size_t i = 0; i < items(searches[r]); ++i) out.emplace_back(r, i);
        }
        return out;
    };
    for (std::size_t r : active) {
        contexts[r].clear();
        contexts[r].resize(searches[r].test.specs.size());
    }
    const auto builds = units([](const Search<S>& s) { return s.test.specs.size(); });
    pool.run(builds.size(), [&](std::size_t u, unsigned slot) {
        auto [r, i] = builds[u];
        worker(slot).build(contexts[r][i], searches[r].test.specs[i]);
        return std::uint64_t{0};
    });
    const Window window = stat.window();
    const auto entries = units([](const Search<S>& s) { return s.test.entries.size(); });
    pool.run(entries.size(), [&](std::size_t u, unsigned slot) {
        auto [r, i] = entries[u];
        Search<S>& s = searches[r];
        const Entry& e = s.test.entries[i];
        const std::vector<Source> sources = sources_of(s, e, settings, window, std::nullopt);
        s.test.observed[i] = worker(slot).value(contexts[r][e.context], sources);
        return std::uint64_t{1};
    });
    if (settings.analytic) return;
    // The surrogates in blocks, in one round, or with `sequential` in rounds
    // after each of which a test whose decision is settled stops.
    constexpr std::uint64_t kBlock = 16;
    const std::uint64_t surrogates = settings.surrogates;
    const std::uint64_t round = settings.sequential ? std::max<std::uint64_t>(kBlock, (surrogates / 8 + kBlock - 1) / kBlock * kBlock)
                                                    : surrogates;
    // With `sequential`, a round also ends where an early stop may come.
    for (std::uint64_t start = 0, stop = 0; start < surrogates; start = stop) {
        stop = std::min(surrogates, start + round);
        if (start < early && early < stop) stop = early;
        const std::size_t blocks = static_cast<std::size_t>((stop - start + kBlock - 1) / kBlock);
        const auto surrogate_units = units([&](const Search<S>& s) { return s.test.settled ? 0 : blocks; });
        if (surrogate_units.empty()) break;
        pool.run(surrogate_units.size(), [&](std::size_t u, unsigned slot) {
            auto [r, b] = surrogate_units[u];
            Search<S>& s = searches[r];
            auto& w = worker(slot);
            auto& test = s.test;
            const std::uint64_t k0 = start + b * kBlock, k1 = std::min(stop, k0 + kBlock);
            std::uint64_t work = 0;
            // Entries of one source go to the worker a block at a time where
            // the statistic takes batches.
            const std::size_t block = static_cast<std::size_t>(k1 - k0);
            std::vector<Value> batched;
            if constexpr (BatchValues<S>) {
                batched.resize(block * test.entries.size());
                std::vector<Source> singles(block);
                for (std::size_t e = 0; e < test.entries.size(); ++e) {
                    const Entry& entry = test.entries[e];
                    if (entry.sources.size() != 1) continue;
                    stop_point();
                    for (std::uint64_t k = k0; k < k1; ++k) {
                        singles[k - k0] = sources_of(s, entry, settings, window, k)[0];
                    }
                    w.values(contexts[r][entry.context], singles, batched.data() + e * block);
                }
            }
            for (std::uint64_t k = k0; k < k1; ++k) {
                stop_point();
                Value reduced{};
                for (std::size_t e = 0; e < test.entries.size(); ++e) {
                    const Entry& entry = test.entries[e];
                    const Value v = !batched.empty() && entry.sources.size() == 1
                                        ? batched[e * block + (k - k0)]
                                        : w.value(contexts[r][entry.context], sources_of(s, entry, settings, window, k));
                    if (test.kind == Kind::link) {
                        test.nulls[k * test.entries.size() + e] = v;
                    } else if (e == 0 || (test.kind == Kind::prune ? !stat.at_least(v, reduced) : !stat.at_least(reduced, v))) {
                        reduced = v;
                    }
                }
                if (test.kind != Kind::link) test.nulls[k] = reduced;
                work += test.entries.size();
            }
            return work;
        });
        for (std::size_t r : active) {
            Test<Value>& test = searches[r].test;
            if (test.settled) continue;
            test.drawn = stop;
            searches[r].surrogates += (stop - start) * test.entries.size();
            if (settings.sequential && stop < surrogates) test.settled = settled(stat, test, settings, early);
        }
    }
}

}  // namespace search_detail

// For each of `targets` (rows), each independently of the others: (a) with
// max_history, greedy selection of the target's own lags 1 .. max_history;
// (b) greedy selection of candidates (row, lag), lag 1 .. max_lag, every
// other row a candidate, each tested with the maximum statistic; (c)
// pruning with the minimum statistic; (d) an omnibus test of the selected
// sources together; then a final test of each link given the others. The
// correction across targets is the caller's to apply. The surrogates of
// target j are drawn from Philox4x64-10 keyed by (seed, purpose of the
// test) with counter (j, step * 2^32 + source row, k, block), so a target's
// result does not depend on which targets share the call or on the threads.
template <Statistic S>
std::vector<TargetResult> search_network(const S& stat, std::size_t rows, const std::vector<std::size_t>& targets,
                                         const InferenceSettings& settings, Pool& pool) {
    using namespace search_detail;
    if (std::any_of(targets.begin(), targets.end(), [rows](std::size_t j) { return j >= rows; })) {
        throw std::invalid_argument("a target beyond the rows");
    }
    if (settings.max_lag == 0) throw std::invalid_argument("max_lag must be at least 1");
    const Window window = stat.window();
    std::vector<TargetResult> results(targets.size());
    for (std::size_t r = 0; r < targets.size(); ++r) {
        results[r].target = targets[r];
        results[r].steps = window.count;
    }
    // Too short to count a step: nothing can be tested.
    if (rows < 2 || targets.empty() || window.count == 0 || window.length < 3) return results;
    if (!settings.analytic && settings.method == Method::shift && window.length < 2 * settings.reach()) {
        throw std::invalid_argument("method='shift' needs series of at least 2 * (history + max_lag) steps");
    }

    std::vector<Search<S>> searches(targets.size());
    for (std::size_t r = 0; r < targets.size(); ++r) {
        Search<S>& s = searches[r];
        s.target = targets[r];
        for (std::size_t lag = 1; lag <= settings.max_history; ++lag) s.remaining_history.push_back({s.target, lag});
        s.stage = s.remaining_history.empty() ? Stage::select : Stage::history;
        for (std::size_t i = 0; i < rows; ++i) {
            if (i == s.target) continue;
            for (std::size_t lag = 1; lag <= settings.max_lag; ++lag) s.remaining.push_back({i, lag});
        }
        plan(s, settings);
    }
    // Every target one test per round, so that the surrogates of all of
    // them are work for the pool together.
    std::vector<std::optional<typename S::Worker>> workers(pool.workers());
    std::vector<std::vector<typename S::Context>> contexts(searches.size());
    const std::uint64_t early = settings.sequential && !settings.analytic ? early_stop(settings) : settings.surrogates;
    while (std::any_of(searches.begin(), searches.end(), testing<S>)) {
        run_tests(searches, stat, settings, pool, workers, contexts, early);
        for (Search<S>& s : searches) {
            if (!testing(s)) continue;
            advance(s, stat, settings);
            plan(s, settings);
        }
    }
    contexts.clear();

    // The reported values, as the estimator gives a single estimate.
    std::vector<std::pair<std::size_t, std::size_t>> links;  // (search, selected source)
    for (std::size_t r = 0; r < searches.size(); ++r) {
        const Search<S>& s = searches[r];
        results[r].first_p = s.first_p;
        results[r].omnibus_p = s.omnibus_p;
        results[r].surrogates = s.surrogates;
        if (s.first_p >= 0) results[r].steps = s.steps;
        for (const Candidate& h : s.history) results[r].history.push_back(h.lag);
        for (std::size_t q = 0; q < s.selected.size(); ++q) {
            results[r].links.push_back(Link{s.selected[q].row, s.selected[q].lag, 0.0, s.link_p[q], 0, 0});
            links.emplace_back(r, q);
        }
    }
    pool.run(links.size(), [&](std::size_t u, unsigned slot) {
        const auto [r, q] = links[u];
        const Search<S>& s = searches[r];
        std::vector<Candidate> others = s.selected;
        others.erase(others.begin() + static_cast<std::ptrdiff_t>(q));
        if (!workers[slot]) workers[slot].emplace(stat);
        const Source source{s.selected[q], Draw::observed()};
        const Estimate e = workers[slot]->estimate(s.spec(settings, std::move(others), 1), std::span(&source, 1));
        Link& link = results[r].links[q];
        link.te = e.value;
        link.states = e.states;
        link.steps = e.steps;
        return std::uint64_t{0};
    });
    return results;
}

}  // namespace zelmo::network
