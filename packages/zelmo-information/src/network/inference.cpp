#include "inference.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>

#include "conditional.hpp"
#include "estimator.hpp"

namespace zelmo::network {

namespace {

enum class Kind { select, prune, omnibus, link };
enum class Stage { select, prune, omnibus, link, done };

// One statistic of a test: the value of `sources` (one candidate, or all
// selected ones) given the context.
struct Entry {
    std::vector<Candidate> sources;
    std::size_t context = 0;
};

struct Test {
    Kind kind = Kind::select;
    std::uint64_t step = 0;
    std::vector<Context> contexts;
    std::vector<Entry> entries;
    std::vector<std::int64_t> observed;  // per entry
    std::vector<std::int64_t> nulls;     // per surrogate (per entry and surrogate for links)
};

// The state of one target's search.
struct Search {
    std::size_t target = 0;
    std::vector<Candidate> remaining;
    std::vector<Candidate> selected;
    Stage stage = Stage::select;
    std::uint64_t select_steps = 0, prune_steps = 0;
    double omnibus_p = -1.0;
    std::vector<double> link_p;
    Test test;
};

// The draws of a test's surrogates keep the kinds of test apart.
Purpose purpose_of(Kind kind) {
    switch (kind) {
        case Kind::select: return Purpose::select;
        case Kind::prune: return Purpose::prune;
        case Kind::omnibus: return Purpose::omnibus;
        case Kind::link: return Purpose::link;
    }
    return Purpose::link;
}

double p_value(const std::int64_t* nulls, std::uint64_t surrogates, std::size_t stride, std::int64_t observed) {
    std::uint64_t reached = 0;
    for (std::uint64_t k = 0; k < surrogates; ++k) reached += nulls[k * stride] >= observed;
    return static_cast<double>(1 + reached) / static_cast<double>(1 + surrogates);
}

// Sets up the test of the search's current stage, moving on past stages
// with nothing to test.
void plan(Search& s, const InferenceSettings& settings) {
    Test& test = s.test;
    test = Test{};
    if (s.stage == Stage::select &&
        (s.remaining.empty() || (settings.max_sources != 0 && s.selected.size() >= settings.max_sources))) {
        s.stage = Stage::prune;
    }
    if ((s.stage == Stage::prune || s.stage == Stage::omnibus) && s.selected.empty()) s.stage = Stage::done;
    switch (s.stage) {
        case Stage::select:
            test.kind = Kind::select;
            test.step = s.select_steps;
            test.contexts.push_back(Context{s.selected, 1, {}, {}});
            for (const Candidate& c : s.remaining) test.entries.push_back(Entry{{c}, 0});
            break;
        case Stage::prune:
        case Stage::link:
            test.kind = s.stage == Stage::prune ? Kind::prune : Kind::link;
            test.step = s.stage == Stage::prune ? s.prune_steps : 0;
            for (std::size_t q = 0; q < s.selected.size(); ++q) {
                std::vector<Candidate> others = s.selected;
                others.erase(others.begin() + static_cast<std::ptrdiff_t>(q));
                test.contexts.push_back(Context{std::move(others), 1, {}, {}});
                test.entries.push_back(Entry{{s.selected[q]}, q});
            }
            break;
        case Stage::omnibus:
            test.kind = Kind::omnibus;
            test.contexts.push_back(Context{{}, s.selected.size(), {}, {}});
            test.entries.push_back(Entry{s.selected, 0});
            break;
        default:
            return;
    }
    test.observed.assign(test.entries.size(), 0);
    const std::size_t per_k = test.kind == Kind::link ? test.entries.size() : 1;
    test.nulls.assign(static_cast<std::size_t>(settings.surrogates) * per_k, 0);
}

// Moves the search on after its test.
void advance(Search& s, const InferenceSettings& settings) {
    Test& test = s.test;
    const std::uint64_t surrogates = settings.surrogates;
    switch (test.kind) {
        case Kind::select: {
            const std::size_t best = static_cast<std::size_t>(
                std::max_element(test.observed.begin(), test.observed.end()) - test.observed.begin());
            ++s.select_steps;
            if (p_value(test.nulls.data(), surrogates, 1, test.observed[best]) < settings.alpha) {
                s.selected.push_back(test.entries[best].sources[0]);
                s.remaining.erase(std::find(s.remaining.begin(), s.remaining.end(), test.entries[best].sources[0]));
            } else {
                s.stage = Stage::prune;
            }
            break;
        }
        case Kind::prune: {
            const std::size_t weakest = static_cast<std::size_t>(
                std::min_element(test.observed.begin(), test.observed.end()) - test.observed.begin());
            ++s.prune_steps;
            if (p_value(test.nulls.data(), surrogates, 1, test.observed[weakest]) >= settings.alpha) {
                s.selected.erase(s.selected.begin() + static_cast<std::ptrdiff_t>(weakest));
            } else {
                s.stage = Stage::omnibus;
            }
            break;
        }
        case Kind::omnibus:
            s.omnibus_p = p_value(test.nulls.data(), surrogates, 1, test.observed[0]);
            s.stage = Stage::link;
            break;
        case Kind::link:
            s.link_p.clear();
            for (std::size_t e = 0; e < test.entries.size(); ++e) {
                s.link_p.push_back(p_value(test.nulls.data() + e, surrogates, test.entries.size(), test.observed[e]));
            }
            s.stage = Stage::done;
            break;
    }
}

bool testing(const Search& s) { return s.stage != Stage::done; }

// Runs the tests of every search that has one, on the pool: the contexts,
// the observed values, then the surrogates in blocks.
void run_tests(std::vector<Search>& searches, const Shared& shared, const InferenceSettings& settings, Pool& pool,
               std::vector<std::optional<Estimator>>& workers) {
    auto worker = [&](unsigned slot) -> Estimator& {
        if (!workers[slot]) workers[slot].emplace(shared);
        return *workers[slot];
    };
    std::vector<Search*> active;
    for (Search& s : searches) {
        if (testing(s)) active.push_back(&s);
    }
    // Units of work as (search, item) over the active searches.
    auto units = [&](auto items) {
        std::vector<std::pair<Search*, std::size_t>> out;
        for (Search* s : active) {
            for (std::size_t i = 0; i < items(*s); ++i) out.emplace_back(s, i);
        }
        return out;
    };
    const auto contexts = units([](const Search& s) { return s.test.contexts.size(); });
    pool.run(contexts.size(), [&](std::size_t u, unsigned slot) {
        auto [s, i] = contexts[u];
        worker(slot).build(s->test.contexts[i], s->target);
        return std::uint64_t{0};
    });
    const auto entries = units([](const Search& s) { return s.test.entries.size(); });
    pool.run(entries.size(), [&](std::size_t u, unsigned slot) {
        auto [s, i] = entries[u];
        Estimator& w = worker(slot);
        const Entry& e = s->test.entries[i];
        s->test.observed[i] =
            w.value(s->test.contexts[e.context], e.sources, [&](std::size_t row) { return w.observed(row); });
        return std::uint64_t{1};
    });
    constexpr std::uint64_t kBlock = 16;
    const std::uint64_t surrogates = settings.surrogates;
    const std::size_t blocks = static_cast<std::size_t>((surrogates + kBlock - 1) / kBlock);
    const auto surrogate_units = units([&](const Search&) { return blocks; });
    pool.run(surrogate_units.size(), [&](std::size_t u, unsigned slot) {
        auto [s, b] = surrogate_units[u];
        Estimator& w = worker(slot);
        Test& test = s->test;
        const std::uint64_t k0 = b * kBlock, k1 = std::min(surrogates, k0 + kBlock);
        std::uint64_t work = 0;
        for (std::uint64_t k = k0; k < k1; ++k) {
            auto source_of = [&](std::size_t row) {
                const Draws draws(settings.seed, purpose_of(test.kind), s->target, (test.step << 32) | row, k);
                return w.surrogate(settings.method, draws, row);
            };
            std::int64_t reduced = 0;
            for (std::size_t e = 0; e < test.entries.size(); ++e) {
                const Entry& entry = test.entries[e];
                const std::int64_t v = w.value(test.contexts[entry.context], entry.sources, source_of);
                if (test.kind == Kind::link) {
                    test.nulls[k * test.entries.size() + e] = v;
                } else if (e == 0 || (test.kind == Kind::select ? v > reduced : v < reduced)) {
                    reduced = v;
                }
            }
            if (test.kind != Kind::link) test.nulls[k] = reduced;
            work += test.entries.size();
        }
        return work;
    });
}

}  // namespace

std::vector<TargetResult> infer_network(const BinnedRows& rows, const std::vector<std::size_t>& targets,
                                        const InferenceSettings& settings, Pool& pool) {
    const std::size_t m = rows.rows();
    if (std::any_of(targets.begin(), targets.end(), [m](std::size_t j) { return j >= m; })) {
        throw std::invalid_argument("a target beyond the rows");
    }
    std::vector<TargetResult> results(targets.size());
    const std::size_t h = static_cast<std::size_t>(settings.history);
    if (settings.max_lag == 0) throw std::invalid_argument("max_lag must be at least 1");
    const Geometry g(rows.length(), rows.n_bins(), h, first_counted_step(h, settings.max_lag));
    for (std::size_t r = 0; r < targets.size(); ++r) {
        results[r].target = targets[r];
        results[r].steps = g.count;
    }
    // Too short to count a step (or to draw a shift): nothing can be tested.
    if (m < 2 || targets.empty() || g.length < 3 || g.length <= h || g.first >= g.length) return results;
    if (settings.method == Method::shift && g.length < 2 * (h + settings.max_lag)) {
        throw std::invalid_argument("method='shift' needs series of at least 2 * (history + max_lag) steps");
    }
    const XLog2X xlogx(g.count);
    const PastWeights weights(rows.n_bins(), settings.history);
    const RowCodes codes(rows, g, weights, pool);
    const Shared shared{rows, g, codes, xlogx, weights, h + settings.max_lag};

    std::vector<Search> searches(targets.size());
    for (std::size_t r = 0; r < targets.size(); ++r) {
        Search& s = searches[r];
        s.target = targets[r];
        for (std::size_t i = 0; i < m; ++i) {
            if (i == s.target) continue;
            for (std::size_t lag = 1; lag <= settings.max_lag; ++lag) s.remaining.push_back({i, lag});
        }
        plan(s, settings);
    }
    // Every target one test per round, so that the surrogates of all of
    // them are work for the pool together.
    std::vector<std::optional<Estimator>> workers(pool.workers());
    while (std::any_of(searches.begin(), searches.end(), testing)) {
        run_tests(searches, shared, settings, pool, workers);
        for (Search& s : searches) {
            if (!testing(s)) continue;
            advance(s, settings);
            plan(s, settings);
        }
    }

    // The reported values, by the exact per-term estimate.
    std::vector<std::pair<std::size_t, std::size_t>> links;  // (search, selected source)
    for (std::size_t r = 0; r < searches.size(); ++r) {
        const Search& s = searches[r];
        results[r].omnibus_p = s.omnibus_p;
        for (std::size_t q = 0; q < s.selected.size(); ++q) {
            results[r].links.push_back(Link{s.selected[q].row, s.selected[q].lag, 0.0, s.link_p[q], 0});
            links.emplace_back(r, q);
        }
    }
    pool.run(links.size(), [&](std::size_t u, unsigned) {
        const auto [r, q] = links[u];
        const Search& s = searches[r];
        // Target, source, then the other links, each row's bins widened.
        std::vector<std::size_t> series{s.target, s.selected[q].row};
        std::vector<std::size_t> lags{1, s.selected[q].lag};
        for (std::size_t o = 0; o < s.selected.size(); ++o) {
            if (o == q) continue;
            series.push_back(s.selected[o].row);
            lags.push_back(s.selected[o].lag);
        }
        std::vector<Buffer<std::uint64_t>> bins;
        for (std::size_t row : series) {
            bins.push_back(Buffer<std::uint64_t>::uninitialised(g.length));
            rows.widen(row, bins.back().data());
        }
        std::vector<const std::uint64_t*> views;  // after the last push: short buffers move with the vector
        for (const auto& b : bins) views.push_back(b.data());
        const ConditionalEstimate e = conditional_from_bins(views, lags, g.length, rows.n_bins(), settings.history);
        Link& link = results[r].links[q];
        link.te = e.te;
        link.states = e.states;
        return std::uint64_t{0};
    });
    return results;
}

}  // namespace zelmo::network
