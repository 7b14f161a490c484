#include "transfer_entropy.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "binning.hpp"
#include "radix_sort.hpp"
#include "range.hpp"
#include "stop.hpp"
#include "vector_ops.hpp"

namespace zelmo {

namespace {

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? ~std::uint64_t{0} : product;
}

// The past codes of both series, rolled forward one step at a time from the
// bins. Valid only where codes do not wrap (radix^history fits 64 bits):
// then the code of step t + 1 is bin[t] + radix * (code(t) - bin[t - h] *
// radix^(h - 1)).
class RollingCodes {
public:
    RollingCodes(const std::uint32_t* source_bins, const std::uint32_t* target_bins, std::size_t history,
                 std::uint64_t radix, std::uint64_t states)
        : source_(source_bins), target_(target_bins), h_(history), radix_(radix),
          top_(history == 0 ? 0 : states / radix) {
        for (std::size_t k = h_; k-- > 0;) {
            target_code_ = target_code_ * radix + target_bins[h_ - 1 - k];
            source_code_ = source_code_ * radix + source_bins[h_ - 1 - k];
        }
    }

    // Calls f(target_next, target_past, source_past) for step t (steps are
    // visited in order from t = history) and moves on to step t + 1.
    template <class F>
    void visit(std::size_t t, F&& f) {
        f(target_[t], target_code_, source_code_);
        if (h_ > 0) {
            target_code_ = target_[t] + radix_ * (target_code_ - target_[t - h_] * top_);
            source_code_ = source_[t] + radix_ * (source_code_ - source_[t - h_] * top_);
        }
    }

private:
    const std::uint32_t* source_;
    const std::uint32_t* target_;
    std::size_t h_;
    std::uint64_t radix_, top_;
    std::uint64_t target_code_ = 0, source_code_ = 0;
};

int bit_width(std::uint64_t v) {
    int bits = 0;
    while (bits < 64 && (v >> bits) != 0) ++bits;
    return bits;
}

}  // namespace

PastWeights::PastWeights(std::uint64_t n_bins, std::uint64_t h) : history(h) {
    std::uint64_t weight = 1;
    while (lead.size() < history) {
        const std::uint64_t next = saturating_mul(weight, n_bins);
        if (next == weight) break;  // constant from here on
        lead.push_back(weight);
        weight = next;
    }
    tail = weight;
}

void past_codes(const std::uint64_t* bins, std::size_t n, const PastWeights& w, std::uint64_t* out) {
    const std::size_t h = static_cast<std::size_t>(w.history);
    if (n <= h) return;
    const std::size_t k0 = w.lead.size();
    // code(t) = lead(t) + tail * window(t): lead(t) holds the digits k < k0
    // with weights n_bins^k, window(t) sums the digits k0 <= k < h.
    std::uint64_t lead = 0;
    std::uint64_t window = 0;
    for (std::size_t k = 0; k < h; ++k) {
        const std::uint64_t bin = bins[h - 1 - k];
        if (k < k0) {
            lead += bin * w.lead[k];
        } else {
            window += bin;
        }
    }
    const std::uint64_t n_bins_factor = k0 >= 2 ? w.lead[1] : (k0 == 1 ? 0 : 1);
    const std::uint64_t top = k0 == 0 ? 0 : w.lead[k0 - 1];
    for (std::size_t t = h;; ++t) {
        stop_point(t);
        out[t - h] = lead + w.tail * window;
        if (t + 1 >= n) break;
        if (k0 > 0) lead = bins[t] + n_bins_factor * (lead - bins[t - k0] * top);
        if (k0 < h) window = window + bins[t - k0] - bins[t - h];
    }
}

// The range and the bins a piece at a time, with a stop point (stop.hpp)
// before each: the same range (minimum and maximum fold the same way over
// pieces) and the same bins (each depends on its value and the range only).
namespace {

SampleRange piecewise_range(Span s) {
    SampleRange range{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
    for_pieces(s.len, [&](std::size_t begin, std::size_t end) { vec::fold_range(s.data + begin, end - begin, range); });
    return range;
}

}  // namespace

Buffer<std::uint64_t> series_bins(Span s, std::uint64_t n_bins) {
    Buffer<std::uint64_t> bins = Buffer<std::uint64_t>::uninitialised(s.len);
    const SampleRange range = piecewise_range(s);
    for_pieces(s.len, [&](std::size_t begin, std::size_t end) {
        bin_scaled(Span{s.data + begin, end - begin}, range, n_bins, bins.data() + begin);
    });
    return bins;
}

void series_bins_narrow(Span s, std::uint64_t n_bins, std::uint32_t* out) {
    const SampleRange range = piecewise_range(s);
    for_pieces(s.len, [&](std::size_t begin, std::size_t end) {
        bin_scaled_narrow(Span{s.data + begin, end - begin}, range, n_bins, out + begin);
    });
}

std::optional<DenseLayout> dense_layout(std::uint64_t n_bins, std::uint64_t history, std::size_t count) {
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 40;
    const std::uint64_t radix = std::max<std::uint64_t>(n_bins, 1);
    const std::uint64_t states = bounded_power(radix, history, kLimit);
    const std::uint64_t squared = states == 0 ? 0 : bounded_power(states, 2, kLimit);
    const std::uint64_t cells = squared == 0 || squared > kLimit / radix ? 0 : squared * radix;
    if (!dense_is_cheaper(cells, count)) return std::nullopt;
    return DenseLayout{radix, states, cells};
}

DenseTransfer::DenseTransfer(const DenseLayout& layout, std::uint64_t history, std::size_t count)
    : layout_(layout),
      history_(history),
      full_(Counts::zeroed(layout.cells)),
      transition_(Counts::zeroed(layout.radix * layout.states)),
      pair_(Counts::zeroed(layout.states * layout.states)),
      past_(Counts::zeroed(layout.states)),
      tally_(full_.data(), layout.cells, count) {}

void DenseTransfer::count_states(const std::uint32_t* source_bins, const std::uint32_t* target_bins, std::size_t n) {
    const std::uint64_t states = layout_.states;
    const std::size_t h = static_cast<std::size_t>(history_);
    std::uint32_t index[vec::kBlock];
    if (h == 1) {  // the past codes are the previous bins
        StopEvery stop;
        for (std::size_t t = 1; t < n; t += vec::kBlock) {
            stop.at(t);
            const std::size_t len = std::min(vec::kBlock, n - t);
            for (std::size_t k = 0; k < len; ++k) {
                const std::size_t u = t + k;
                index[k] = static_cast<std::uint32_t>((target_bins[u] * states + target_bins[u - 1]) * states +
                                                      source_bins[u - 1]);
            }
            tally_.add(index, len);
        }
        return;
    }
    RollingCodes codes(source_bins, target_bins, h, layout_.radix, states);
    StopEvery stop;
    for (std::size_t t = h; t < n; t += vec::kBlock) {
        stop.at(t);
        const std::size_t len = std::min(vec::kBlock, n - t);
        for (std::size_t k = 0; k < len; ++k) {
            codes.visit(t + k, [&](std::uint64_t a, std::uint64_t b, std::uint64_t s) {
                index[k] = static_cast<std::uint32_t>((a * states + b) * states + s);
            });
        }
        tally_.add(index, len);
    }
}

double DenseTransfer::estimate(const std::uint32_t* source_bins, const std::uint32_t* target_bins, std::size_t n) {
    const std::uint64_t radix = layout_.radix;
    const std::uint64_t states = layout_.states;
    std::memset(full_.data(), 0, full_.size() * sizeof(std::uint64_t));
    count_states(source_bins, target_bins, n);
    tally_.finish();
    // Only the full states are counted; the other three tables are exact
    // integer sums of them.
    std::memset(pair_.data(), 0, pair_.size() * sizeof(std::uint64_t));
    std::memset(past_.data(), 0, past_.size() * sizeof(std::uint64_t));
    for (std::uint64_t a = 0, at = 0; a < radix; ++a) {
        for (std::uint64_t b = 0; b < states; ++b) {
            std::uint64_t transition = 0;
            for (std::uint64_t s = 0; s < states; ++s, ++at) {
                transition += full_[at];
                pair_[b * states + s] += full_[at];
            }
            transition_[a * states + b] = transition;
            past_[b] += transition;
        }
    }
    // Cell order is ascending (a, b, s) order. A (target_next, target_past)
    // pair that never occurs has no states to visit.
    const double total = static_cast<double>(n - static_cast<std::size_t>(history_));
    constexpr std::uint64_t kChunk = 256;
    double te = 0.0;
    for (std::uint64_t a = 0; a < radix; ++a) {
        for (std::uint64_t b = 0; b < states; ++b) {
            const std::uint64_t c_ab = transition_[a * states + b];
            if (c_ab == 0) continue;
            const std::uint64_t* row = full_.data() + (a * states + b) * states;
            const std::uint64_t* pairs = pair_.data() + b * states;
            // The occupied states of the row first, without a branch per
            // state (their pattern is as random as the data).
            for (std::uint64_t s0 = 0; s0 < states; s0 += kChunk) {
                const std::uint64_t len = std::min<std::uint64_t>(kChunk, states - s0);
                std::uint32_t occupied[kChunk];
                std::uint64_t k = 0;
                for (std::uint64_t s = 0; s < len; ++s) {
                    occupied[k] = static_cast<std::uint32_t>(s0 + s);
                    k += row[s0 + s] != 0;
                }
                for (std::uint64_t u = 0; u < k; ++u) {
                    const std::uint64_t s = occupied[u];
                    te = te + transfer_term(row[s], past_[b], pairs[s], c_ab, total);
                }
            }
        }
    }
    return te;
}

std::uint64_t packed_states(std::uint64_t n_bins, std::uint64_t history) {
    // Terms are gathered by target_next through a table of radix counters.
    constexpr std::uint64_t kMaxRadix = std::uint64_t{1} << 20;
    const std::uint64_t radix = std::max<std::uint64_t>(n_bins, 1);
    if (radix > kMaxRadix) return 0;
    const std::uint64_t states = bounded_power(radix, history, ~std::uint64_t{0});
    if (states == 0) return 0;  // the codes may wrap
    return bit_width(radix - 1) + 2 * bit_width(states - 1) <= 64 ? states : 0;
}

double packed_transfer_entropy(const std::uint32_t* source_bins, const std::uint32_t* target_bins, std::size_t n,
                               std::uint64_t history, std::uint64_t radix, std::uint64_t states) {
    const std::size_t h = static_cast<std::size_t>(history);
    const std::size_t count = n - h;
    // One sort, of keys (b, s, a) packed as bit fields so that ascending keys
    // are ascending tuples. Runs of one b give c_b; within them, runs of one
    // (b, s) give c_bs and runs of one (b, s, a) give c_abs; c_ab is counted
    // per b run.
    const int wa = bit_width(radix - 1);
    const int ws = bit_width(states - 1);
    const std::uint64_t a_mask = wa == 0 ? 0 : ~std::uint64_t{0} >> (64 - wa);
    Buffer<std::uint64_t> keys = Buffer<std::uint64_t>::uninitialised(count);
    {
        Buffer<std::uint64_t> scratch = Buffer<std::uint64_t>::uninitialised(count);
        RollingCodes codes(source_bins, target_bins, h, radix, states);
        for (std::size_t t = h; t < n; ++t) {
            codes.visit(t, [&](std::uint64_t a, std::uint64_t b, std::uint64_t s) {
                keys[t - h] = (((b << ws) | s) << wa) | a;
            });
        }
        radix_sort(keys.data(), count, ~std::uint64_t{0} >> (64 - (2 * ws + wa == 0 ? 1 : 2 * ws + wa)),
                   scratch.data());
    }

    // Each distinct (a, b, s) gives one term. Within the (b, s, a) order the
    // states of any one a come in ascending (b, s) order, so gathering the
    // terms by a (stably) puts them in ascending (a, b, s) order for the sum.
    Counts by_a = Counts::zeroed(radix);  // transitions (a, b) of the current b run
    std::vector<double> terms;
    std::vector<std::uint32_t> term_a;
    terms.reserve(count);
    term_a.reserve(count);
    const double total = static_cast<double>(count);
    for (std::size_t i = 0; i < count;) {
        const std::uint64_t b = keys[i] >> (ws + wa);
        std::size_t j = i;
        while (j < count && keys[j] >> (ws + wa) == b) ++j;
        for (std::size_t k = i; k < j; ++k) ++by_a[keys[k] & a_mask];
        const std::uint64_t c_b = j - i;
        for (std::size_t k = i; k < j;) {
            std::size_t l = k;  // run of one (b, s)
            while (l < j && keys[l] >> wa == keys[k] >> wa) ++l;
            const std::uint64_t c_bs = l - k;
            for (std::size_t u = k; u < l;) {
                std::size_t v = u;  // run of one (b, s, a)
                while (v < l && keys[v] == keys[u]) ++v;
                const std::uint64_t a = keys[u] & a_mask;
                terms.push_back(transfer_term(v - u, c_b, c_bs, by_a[a], total));
                term_a.push_back(static_cast<std::uint32_t>(a));
                u = v;
            }
            k = l;
        }
        for (std::size_t k = i; k < j; ++k) by_a[keys[k] & a_mask] = 0;
        i = j;
    }
    keys = {};

    // Stable counting sort of the terms by a, then the sum in that order.
    std::vector<std::size_t> start(radix + 1, 0);
    for (std::uint32_t a : term_a) ++start[a + 1];
    for (std::uint64_t a = 0; a < radix; ++a) start[a + 1] += start[a];
    std::vector<double> ordered(terms.size());
    for (std::size_t k = 0; k < terms.size(); ++k) ordered[start[term_a[k]]++] = terms[k];
    double te = 0.0;
    for (double term : ordered) te = te + term;
    return te;
}

NarrowTransfer::NarrowTransfer(std::uint64_t n_bins, std::uint64_t history, std::size_t count)
    : history_(history), radix_(std::max<std::uint64_t>(n_bins, 1)), states_(packed_states(n_bins, history)) {
    if (const auto layout = dense_layout(n_bins, history, count)) dense_.emplace(*layout, history, count);
}

double NarrowTransfer::estimate(const std::uint32_t* source_bins, const std::uint32_t* target_bins, std::size_t n) {
    return dense_ ? dense_->estimate(source_bins, target_bins, n)
                  : packed_transfer_entropy(source_bins, target_bins, n, history_, radix_, states_);
}

double sorted_transfer_entropy(const std::uint64_t* next, const std::uint64_t* target_past,
                               const std::uint64_t* source_past, std::size_t count) {
    // (target_past, source_past) pairs with their counts, and the count of
    // each target_past (a run of equal first components).
    std::size_t comparisons = 0;
    StopEvery stop;
    std::vector<Key<2>> pairs(count);
    for (std::size_t i = 0; i < count; ++i) pairs[i] = {target_past[i], source_past[i]};
    std::sort(pairs.begin(), pairs.end(), stopping(std::less<Key<2>>{}, comparisons));
    std::vector<Key<2>> pair_keys;
    std::vector<std::uint64_t> pair_counts, past_counts;
    for (std::size_t i = 0; i < count;) {
        stop.at(i);
        std::size_t j = i;
        while (j < count && pairs[j][0] == pairs[i][0]) ++j;  // run of one target_past
        for (std::size_t k = i; k < j;) {
            std::size_t l = k;
            while (l < j && pairs[l] == pairs[k]) ++l;
            pair_keys.push_back(pairs[k]);
            pair_counts.push_back(l - k);
            past_counts.push_back(j - i);
            k = l;
        }
        i = j;
    }
    pairs = {};

    std::vector<Key<3>> states(count);
    for (std::size_t i = 0; i < count; ++i) states[i] = {next[i], target_past[i], source_past[i]};
    std::sort(states.begin(), states.end(), stopping(std::less<Key<3>>{}, comparisons));
    const double total = static_cast<double>(count);
    double te = 0.0;
    StopEvery stop_sum;
    for (std::size_t i = 0; i < count;) {
        stop_sum.at(i);
        std::size_t j = i;  // run of one (target_next, target_past)
        while (j < count && states[j][0] == states[i][0] && states[j][1] == states[i][1]) ++j;
        const std::uint64_t c_ab = j - i;
        for (std::size_t k = i; k < j;) {
            std::size_t l = k;
            while (l < j && states[l][2] == states[k][2]) ++l;
            const Key<2> key{states[k][1], states[k][2]};
            const auto at = std::lower_bound(pair_keys.begin(), pair_keys.end(), key);
            if (at == pair_keys.end() || *at != key) panic("no entry found for key");
            const std::size_t p = static_cast<std::size_t>(at - pair_keys.begin());
            te = te + transfer_term(l - k, past_counts[p], pair_counts[p], c_ab, total);
            k = l;
        }
        i = j;
    }
    return te;
}

double transfer_entropy_inner(Span source, Span target, std::uint64_t n_bins, std::uint64_t history) {
    const std::size_t n = std::min(source.len, target.len);
    if (n < 3 || n <= history) return 0.0;
    const std::size_t count = n - static_cast<std::size_t>(history);
    NarrowTransfer narrow(n_bins, history, count);
    double te = 0.0;
    if (narrow.applies()) {
        // Each series is binned over its whole length; only the first n bins
        // are counted.
        Buffer<std::uint32_t> source_bins = Buffer<std::uint32_t>::uninitialised(source.len);
        Buffer<std::uint32_t> target_bins = Buffer<std::uint32_t>::uninitialised(target.len);
        series_bins_narrow(source, n_bins, source_bins.data());
        series_bins_narrow(target, n_bins, target_bins.data());
        te = narrow.estimate(source_bins.data(), target_bins.data(), n);
    } else {
        const Buffer<std::uint64_t> source_bins = series_bins(source, n_bins);
        const Buffer<std::uint64_t> target_bins = series_bins(target, n_bins);
        const PastWeights weights(n_bins, history);
        Buffer<std::uint64_t> source_past = Buffer<std::uint64_t>::uninitialised(count);
        Buffer<std::uint64_t> target_past = Buffer<std::uint64_t>::uninitialised(count);
        past_codes(source_bins.data(), n, weights, source_past.data());
        past_codes(target_bins.data(), n, weights, target_past.data());
        te = sorted_transfer_entropy(target_bins.data() + history, target_past.data(), source_past.data(), count);
    }
    return te > 0.0 ? te : 0.0;
}

}  // namespace zelmo
