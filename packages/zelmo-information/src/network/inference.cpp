#include "inference.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>

#include "../kernels/key_counts.hpp"
#include "conditional.hpp"
#include "fixed_point.hpp"
#include "philox.hpp"
#include "states.hpp"

namespace zelmo::network {

namespace {

struct Candidate {
    std::size_t row;
    std::size_t lag;
    bool operator==(const Candidate&) const = default;
};

enum class Kind { select, prune, omnibus, link };
enum class Stage { select, prune, omnibus, await_fdr, link, done };

// A target side: the target's past and the pasts of `conditions`, for
// sources of `sources` past codes each.
struct Context {
    std::vector<Candidate> conditions;
    std::size_t sources = 1;
    std::optional<DenseContext> dense;
    std::optional<WideContext> wide;
};

// One statistic of a test: the value of `sources` (one candidate, or all
// selected ones) given the context.
struct Entry {
    std::vector<Candidate> sources;
    std::size_t context = 0;
};

struct Test {
    Kind kind = Kind::select;
    Purpose purpose = Purpose::select;
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

// What every thread reads: the rows' circular past codes (32-bit while a
// code has at most kDenseStates values, else 64-bit as the single-pair
// functions form them).
struct Shared {
    const BinnedRows& rows;
    InferenceSettings settings;
    Geometry geometry;
    bool narrow;
    XLog2X xlogx;
    PastWeights weights;
    Buffer<std::uint32_t> codes32;
    Buffer<std::uint64_t> codes64;

    Shared(const BinnedRows& r, const InferenceSettings& s)
        : rows(r),
          settings(s),
          geometry(r.length(), r.n_bins(), static_cast<std::size_t>(s.history),
                   first_counted_step(static_cast<std::size_t>(s.history), s.max_lag)),
          narrow(geometry.states != 0 && r.narrow()),
          xlogx(std::max<std::size_t>(geometry.count, 1)),
          weights(r.n_bins(), s.history) {}

    std::uint64_t code(std::size_t row, std::size_t u) const {
        return narrow ? codes32[row * geometry.length + u] : codes64[row * geometry.length + u];
    }
};

// The source codes of one row for one surrogate (or as observed): the
// row's circular codes rotated, or the codes of a shuffled copy.
struct SourceCodes {
    const std::uint32_t* codes32 = nullptr;
    const std::uint64_t* codes64 = nullptr;
    std::size_t rotation = 0;
};

// Per-thread scratch.
class Worker {
public:
    explicit Worker(const Shared& shared) : sh_(shared) {}

    void build(Context& c, std::size_t target) {
        const Geometry& g = sh_.geometry;
        const std::size_t count = g.count, k = c.conditions.size();
        // The target's past ends one step before each counted step.
        auto past = [&](std::size_t row, std::size_t lag, std::size_t t) {
            return sh_.code(row, (t + g.first + g.length - lag + 1) % g.length);
        };
        const std::uint64_t contexts = sh_.narrow ? bounded_power(g.states, 1 + k, kDenseStates) : 0;
        const std::uint64_t sources = sh_.narrow ? bounded_power(g.states, c.sources, kDenseStates) : 0;
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

    // The value of an entry, its sources as given by `source_of`.
    template <class SourceOf>
    std::int64_t value(const Context& c, const Entry& e, SourceOf source_of) {
        const Geometry& g = sh_.geometry;
        const std::size_t count = g.count;
        if (c.dense) {
            const std::size_t needed = c.dense->cells() + c.dense->groups();
            if (tables_.size() < needed) tables_ = Buffer<std::uint32_t>::zeroed(needed);
            if (e.sources.size() == 1) {
                const SourceCodes s = source_of(e.sources[0].row);
                return c.dense->value(CodeView<std::uint32_t>::past(s.codes32, g, e.sources[0].lag, s.rotation),
                                      tables_.data(), sh_.xlogx);
            }
            if (combined_.size() < count) combined_ = Buffer<std::uint32_t>::uninitialised(count);
            std::fill(combined_.begin(), combined_.begin() + count, std::uint32_t{0});
            for (std::size_t q = e.sources.size(); q-- > 0;) {
                const SourceCodes s = source_of(e.sources[q].row);
                const auto view = CodeView<std::uint32_t>::past(s.codes32, g, e.sources[q].lag, s.rotation);
                for_each_step(count, view, [&](std::size_t t, std::size_t u) {
                    combined_[t] = static_cast<std::uint32_t>(combined_[t] * g.states + s.codes32[u]);
                });
            }
            return c.dense->value(CodeView<std::uint32_t>{combined_.data(), count, 0}, tables_.data(), sh_.xlogx);
        }
        const std::size_t width = e.sources.size();
        if (words_.size() < count * width) words_ = Buffer<std::uint64_t>::uninitialised(count * width);
        for (std::size_t q = 0; q < width; ++q) {
            const SourceCodes s = source_of(e.sources[q].row);
            if (s.codes64 != nullptr) {
                const auto view = CodeView<std::uint64_t>::past(s.codes64, g, e.sources[q].lag, s.rotation);
                for_each_step(count, view, [&](std::size_t t, std::size_t u) { words_[t * width + q] = s.codes64[u]; });
            } else {
                const auto view = CodeView<std::uint32_t>::past(s.codes32, g, e.sources[q].lag, s.rotation);
                for_each_step(count, view, [&](std::size_t t, std::size_t u) { words_[t * width + q] = s.codes32[u]; });
            }
        }
        return c.wide->value(words_.data(), width, sh_.xlogx);
    }

    // The codes of `row` as observed.
    SourceCodes observed(std::size_t row) const {
        const std::size_t at = row * sh_.geometry.length;
        return sh_.narrow ? SourceCodes{sh_.codes32.data() + at, nullptr, 0}
                          : SourceCodes{nullptr, sh_.codes64.data() + at, 0};
    }

    // The codes of `row` in surrogate k of a test of `target`.
    SourceCodes surrogate(std::size_t target, const Test& test, std::uint64_t k, std::size_t row) {
        const Geometry& g = sh_.geometry;
        const std::uint64_t stream = (test.step << 32) | row;
        Draws draws(sh_.settings.seed, test.purpose, target, stream, k);
        if (sh_.settings.method == Method::shift) {
            const std::size_t reach = g.history + sh_.settings.max_lag;
            SourceCodes s = observed(row);
            s.rotation = reach + static_cast<std::size_t>(draws.below(g.length - 2 * reach + 1));
            return s;
        }
        // A shuffled copy, cached for the other entries of surrogate k.
        for (const Shuffled& done : shuffled_) {
            if (done.row == row && done.k == k && done.stream == stream && done.target == target) return done.view();
        }
        if (shuffled_.size() == kShuffleCache) shuffled_.erase(shuffled_.begin());
        Shuffled& s = shuffled_.emplace_back();
        s.row = row;
        s.k = k;
        s.stream = stream;
        s.target = target;
        s.bins64 = Buffer<std::uint64_t>::uninitialised(g.length);
        sh_.rows.widen(row, s.bins64.data());
        for (std::size_t u = g.length - 1; u > 0; --u) std::swap(s.bins64[u], s.bins64[draws.below(u + 1)]);
        if (sh_.narrow) {
            Buffer<std::uint32_t> bins = Buffer<std::uint32_t>::uninitialised(g.length);
            for (std::size_t u = 0; u < g.length; ++u) bins[u] = static_cast<std::uint32_t>(s.bins64[u]);
            s.codes32 = Buffer<std::uint32_t>::uninitialised(g.length);
            circular_codes(bins.data(), g, s.codes32.data());
        } else {
            Buffer<std::uint64_t> scratch = Buffer<std::uint64_t>::uninitialised(g.length + g.history);
            s.codes64 = Buffer<std::uint64_t>::uninitialised(g.length);
            circular_codes(s.bins64.data(), g, sh_.weights, s.codes64.data(), scratch.data());
        }
        return s.view();
    }

private:
    struct Shuffled {
        std::size_t row = 0, target = 0;
        std::uint64_t k = 0, stream = 0;
        Buffer<std::uint64_t> bins64, codes64;
        Buffer<std::uint32_t> codes32;

        // Formed on every use: a short buffer lives inside its entry, which
        // moves when the cache does.
        SourceCodes view() const {
            return codes32.size() != 0 ? SourceCodes{codes32.data(), nullptr, 0} : SourceCodes{nullptr, codes64.data(), 0};
        }
    };
    static constexpr std::size_t kShuffleCache = 64;

    const Shared& sh_;
    Buffer<std::uint32_t> tables_, combined_;
    Buffer<std::uint64_t> words_;
    std::vector<Shuffled> shuffled_;
};

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
            test.purpose = Purpose::select;
            test.step = s.select_steps;
            test.contexts.push_back(Context{s.selected, 1, {}, {}});
            for (const Candidate& c : s.remaining) test.entries.push_back(Entry{{c}, 0});
            break;
        case Stage::prune:
        case Stage::link:
            test.kind = s.stage == Stage::prune ? Kind::prune : Kind::link;
            test.purpose = s.stage == Stage::prune ? Purpose::prune : Purpose::link;
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
            test.purpose = Purpose::omnibus;
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
            s.stage = Stage::await_fdr;
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

bool testing(const Search& s) { return s.stage != Stage::done && s.stage != Stage::await_fdr; }

// Runs the tests of every search that has one, on the pool: the contexts,
// the observed values, then the surrogates in blocks.
void run_tests(std::vector<Search>& searches, const Shared& shared, Pool& pool, std::vector<std::optional<Worker>>& workers) {
    auto worker = [&](unsigned slot) -> Worker& {
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
        Worker& w = worker(slot);
        const Entry& e = s->test.entries[i];
        s->test.observed[i] = w.value(s->test.contexts[e.context], e, [&](std::size_t row) { return w.observed(row); });
        return std::uint64_t{1};
    });
    constexpr std::uint64_t kBlock = 16;
    const std::uint64_t surrogates = shared.settings.surrogates;
    const std::size_t blocks = static_cast<std::size_t>((surrogates + kBlock - 1) / kBlock);
    const auto surrogate_units = units([&](const Search&) { return blocks; });
    pool.run(surrogate_units.size(), [&](std::size_t u, unsigned slot) {
        auto [s, b] = surrogate_units[u];
        Worker& w = worker(slot);
        Test& test = s->test;
        const std::uint64_t k0 = b * kBlock, k1 = std::min(surrogates, k0 + kBlock);
        std::uint64_t work = 0;
        for (std::uint64_t k = k0; k < k1; ++k) {
            auto source_of = [&](std::size_t row) { return w.surrogate(s->target, test, k, row); };
            std::int64_t reduced = 0;
            for (std::size_t e = 0; e < test.entries.size(); ++e) {
                const Entry& entry = test.entries[e];
                const std::int64_t v = w.value(test.contexts[entry.context], entry, source_of);
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

std::vector<TargetResult> infer_network(const BinnedRows& rows, const InferenceSettings& settings, Pool& pool) {
    const std::size_t m = rows.rows();
    std::vector<TargetResult> results(m);
    const std::size_t h = static_cast<std::size_t>(settings.history);
    if (settings.max_lag == 0) throw std::invalid_argument("max_lag must be at least 1");
    Shared shared(rows, settings);
    const Geometry& g = shared.geometry;
    for (TargetResult& r : results) r.steps = g.count;
    // Too short to count a step (or to draw a shift): nothing can be tested.
    if (m < 2 || g.length < 3 || g.length <= h || g.first >= g.length) return results;
    if (settings.method == Method::shift && g.length < 2 * (h + settings.max_lag)) {
        throw std::invalid_argument("method='shift' needs series of at least 2 * (history + max_lag) steps");
    }

    // Every row's circular past codes, once.
    if (shared.narrow) {
        shared.codes32 = Buffer<std::uint32_t>::uninitialised(m * g.length);
        pool.run(m, [&](std::size_t i, unsigned) {
            circular_codes(rows.bins32(i), g, shared.codes32.data() + i * g.length);
            return std::uint64_t{0};
        });
    } else {
        shared.codes64 = Buffer<std::uint64_t>::uninitialised(m * g.length);
        pool.run(m, [&](std::size_t i, unsigned) {
            Buffer<std::uint64_t> bins = Buffer<std::uint64_t>::uninitialised(g.length);
            Buffer<std::uint64_t> scratch = Buffer<std::uint64_t>::uninitialised(g.length + h);
            rows.widen(i, bins.data());
            circular_codes(bins.data(), g, shared.weights, shared.codes64.data() + i * g.length, scratch.data());
            return std::uint64_t{0};
        });
    }

    std::vector<Search> searches(m);
    for (std::size_t j = 0; j < m; ++j) {
        searches[j].target = j;
        for (std::size_t i = 0; i < m; ++i) {
            if (i == j) continue;
            for (std::size_t lag = 1; lag <= settings.max_lag; ++lag) searches[j].remaining.push_back({i, lag});
        }
        plan(searches[j], settings);
    }
    std::vector<std::optional<Worker>> workers(pool.workers());
    // Selection, pruning and the omnibus tests, every target one step per round.
    for (;;) {
        if (std::none_of(searches.begin(), searches.end(), testing)) break;
        run_tests(searches, shared, pool, workers);
        for (Search& s : searches) {
            if (!testing(s)) continue;
            advance(s, settings);
            plan(s, settings);
        }
    }
    // Benjamini-Hochberg over the omnibus p-values of the targets that have
    // sources: the k smallest pass, k the largest rank with p_(k) <= alpha k / n.
    std::vector<Search*> tested;
    for (Search& s : searches) {
        if (s.stage == Stage::await_fdr) tested.push_back(&s);
    }
    std::stable_sort(tested.begin(), tested.end(), [](const Search* a, const Search* b) { return a->omnibus_p < b->omnibus_p; });
    std::size_t passing = 0;
    for (std::size_t r = 0; r < tested.size(); ++r) {
        if (tested[r]->omnibus_p <= settings.alpha * static_cast<double>(r + 1) / static_cast<double>(tested.size())) {
            passing = r + 1;
        }
    }
    for (std::size_t r = 0; r < tested.size(); ++r) {
        Search& s = *tested[r];
        results[s.target].omnibus_p = s.omnibus_p;
        results[s.target].omnibus_passed = r < passing;
        s.stage = r < passing ? Stage::link : Stage::done;
        plan(s, settings);
    }
    // The final test of every link given the target's other links.
    run_tests(searches, shared, pool, workers);
    for (Search& s : searches) {
        if (testing(s)) advance(s, settings);
    }

    // The reported values, by the exact per-term estimate.
    std::vector<std::pair<std::size_t, std::size_t>> links;
    for (Search& s : searches) {
        if (!results[s.target].omnibus_passed) continue;
        for (std::size_t q = 0; q < s.selected.size(); ++q) {
            results[s.target].links.push_back(Link{s.selected[q].row, s.selected[q].lag, 0.0, s.link_p[q], 0});
            links.emplace_back(s.target, q);
        }
    }
    pool.run(links.size(), [&](std::size_t u, unsigned) {
        const auto [target, q] = links[u];
        const Search& s = searches[target];
        // Target, source, then the other links, each row's bins widened.
        std::vector<std::size_t> series{target, s.selected[q].row};
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
        Link& link = results[target].links[q];
        link.te = e.te;
        link.states = e.states;
        return std::uint64_t{0};
    });
    return results;
}

}  // namespace zelmo::network
