#include "transfer_entropy.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "binning.hpp"
#include "range.hpp"

namespace zelmo {

namespace {

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? ~std::uint64_t{0} : product;
}

// One term of the sum: (c_abs / N) * log2(ratio) for ratio > 0.
inline double add_term(double te, std::uint64_t c_abs, std::uint64_t c_b, std::uint64_t c_bs, std::uint64_t c_ab,
                       double total) {
    const double ratio = (static_cast<double>(c_abs) * static_cast<double>(c_b)) /
                         (static_cast<double>(c_bs) * static_cast<double>(c_ab));
    if (ratio > 0.0) te = te + (static_cast<double>(c_abs) / total) * std::log2(ratio);
    return te;
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
        out[t - h] = lead + w.tail * window;
        if (t + 1 >= n) break;
        if (k0 > 0) lead = bins[t] + n_bins_factor * (lead - bins[t - k0] * top);
        if (k0 < h) window = window + bins[t - k0] - bins[t - h];
    }
}

Buffer<std::uint64_t> series_bins(Span s, std::uint64_t n_bins) {
    Buffer<std::uint64_t> bins = Buffer<std::uint64_t>::uninitialised(s.len);
    bin_scaled(s, sample_range(s), n_bins, bins.data());
    return bins;
}

TransferCounter::TransferCounter(std::uint64_t n_bins, std::uint64_t history, std::size_t count)
    : radix_(std::max<std::uint64_t>(n_bins, 1)) {
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 40;
    states_ = bounded_power(radix_, history, kLimit);
    const std::uint64_t squared = states_ == 0 ? 0 : bounded_power(states_, 2, kLimit);
    const std::uint64_t cells = squared == 0 || squared > kLimit / radix_ ? 0 : squared * radix_;
    use_dense_ = dense_is_cheaper(cells, count);
    if (use_dense_) {
        full_ = Counts::zeroed(cells);
        transition_ = Counts::zeroed(radix_ * states_);
        pair_ = Counts::zeroed(squared);
        past_ = Counts::zeroed(states_);
        tally_.emplace(full_.data(), cells);
    }
}

double TransferCounter::estimate(const std::uint64_t* next, const std::uint64_t* target_past,
                                 const std::uint64_t* source_past, std::size_t count) {
    return use_dense_ ? dense(next, target_past, source_past, count) : sorted(next, target_past, source_past, count);
}

double TransferCounter::dense(const std::uint64_t* next, const std::uint64_t* target_past,
                              const std::uint64_t* source_past, std::size_t count) {
    const std::uint64_t states = states_;
    // Only the full states are counted; the other three tables are exact
    // integer sums of them.
    std::memset(full_.data(), 0, full_.size() * sizeof(std::uint64_t));
    std::uint32_t index[vec::kBlock];
    for (std::size_t i = 0; i < count; i += vec::kBlock) {
        const std::size_t len = std::min(vec::kBlock, count - i);
        for (std::size_t k = 0; k < len; ++k) {
            index[k] = static_cast<std::uint32_t>((next[i + k] * states + target_past[i + k]) * states +
                                                 source_past[i + k]);
        }
        tally_->add(index, len);
    }
    tally_->finish();
    std::memset(pair_.data(), 0, pair_.size() * sizeof(std::uint64_t));
    std::memset(past_.data(), 0, past_.size() * sizeof(std::uint64_t));
    for (std::uint64_t a = 0, at = 0; a < radix_; ++a) {
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
    // Cell order is ascending (a, b, s) order.
    const double total = static_cast<double>(count);
    double te = 0.0;
    std::size_t cell = 0;
    for (std::uint64_t a = 0; a < radix_; ++a) {
        for (std::uint64_t b = 0; b < states; ++b) {
            for (std::uint64_t s = 0; s < states; ++s, ++cell) {
                const std::uint64_t c_abs = full_[cell];
                if (c_abs == 0) continue;
                te = add_term(te, c_abs, past_[b], pair_[b * states + s], transition_[a * states + b], total);
            }
        }
    }
    return te;
}

double TransferCounter::sorted(const std::uint64_t* next, const std::uint64_t* target_past,
                               const std::uint64_t* source_past, std::size_t count) {
    // (target_past, source_past) pairs with their counts, and the count of
    // each target_past (a run of equal first components).
    std::vector<Key<2>> pairs(count);
    for (std::size_t i = 0; i < count; ++i) pairs[i] = {target_past[i], source_past[i]};
    std::sort(pairs.begin(), pairs.end());
    std::vector<Key<2>> pair_keys;
    std::vector<std::uint64_t> pair_counts, past_counts;
    for (std::size_t i = 0; i < count;) {
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
    std::sort(states.begin(), states.end());
    const double total = static_cast<double>(count);
    double te = 0.0;
    for (std::size_t i = 0; i < count;) {
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
            te = add_term(te, l - k, past_counts[p], pair_counts[p], c_ab, total);
            k = l;
        }
        i = j;
    }
    return te;
}

double transfer_entropy_inner(Span source, Span target, std::uint64_t n_bins, std::uint64_t history) {
    const std::size_t n = std::min(source.len, target.len);
    if (n < 3 || n <= history) return 0.0;
    const Buffer<std::uint64_t> source_bins = series_bins(source, n_bins);
    const Buffer<std::uint64_t> target_bins = series_bins(target, n_bins);
    const PastWeights weights(n_bins, history);
    const std::size_t count = n - static_cast<std::size_t>(history);
    Buffer<std::uint64_t> source_past = Buffer<std::uint64_t>::uninitialised(count);
    Buffer<std::uint64_t> target_past = Buffer<std::uint64_t>::uninitialised(count);
    past_codes(source_bins.data(), n, weights, source_past.data());
    past_codes(target_bins.data(), n, weights, target_past.data());
    TransferCounter counter(n_bins, history, count);
    const double te = counter.estimate(target_bins.data() + history, target_past.data(), source_past.data(), count);
    return te > 0.0 ? te : 0.0;
}

}  // namespace zelmo
