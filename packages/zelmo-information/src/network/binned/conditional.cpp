#include "conditional.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "../../kernels/binning.hpp"
#include "../../kernels/key_counts.hpp"
#include "../../kernels/radix_sort.hpp"
#include "../../kernels/stop.hpp"
#include "../../kernels/range.hpp"
#include "../../kernels/transfer_entropy.hpp"
#include "states.hpp"

namespace zelmo::network {

namespace {

// The key of a state, (a, b, s, z1 .. zK) in this order: either one 64-bit
// word of bit fields, a highest (ascending words are ascending tuples), or
// one word per field. project() keeps the fields of a marginal.
class KeyLayout {
public:
    enum Marginal { kBZ, kBSZ, kABZ };

    KeyLayout(std::uint64_t radix, std::uint64_t states, std::size_t conditions) : fields_(3 + conditions) {
        const int wa = std::bit_width(radix - 1);
        const int ws = states == 0 ? 65 : std::bit_width(states - 1);
        packed_ = states != 0 && wa + ws * static_cast<int>(2 + conditions) <= 64;
        if (!packed_) return;
        shift_.resize(fields_);
        int at = 0;
        for (std::size_t f = fields_; f-- > 0;) {  // z last, lowest bits
            shift_[f] = at;
            at += f == 0 ? wa : ws;
        }
        const auto mask = [](int bits, int shift) {
            return bits == 0 ? std::uint64_t{0} : (~std::uint64_t{0} >> (64 - bits)) << shift;
        };
        a_mask_ = mask(wa, shift_[0]);
        s_mask_ = mask(ws, shift_[2]);
        max_key_ = at == 0 ? 0 : ~std::uint64_t{0} >> (64 - at);
    }

    bool packed() const { return packed_; }
    std::size_t width() const { return packed_ ? 1 : fields_; }
    std::size_t width(Marginal m) const { return packed_ ? 1 : fields_ - (m == kBZ ? 2 : 1); }
    std::uint64_t max_key() const { return max_key_; }

    // Writes the key of fields f[0 .. fields) to out.
    void make(const std::uint64_t* f, std::uint64_t* out) const {
        if (!packed_) {
            std::copy(f, f + fields_, out);
            return;
        }
        std::uint64_t key = 0;
        for (std::size_t k = 0; k < fields_; ++k) key |= f[k] << shift_[k];
        out[0] = key;
    }

    void project(Marginal m, const std::uint64_t* key, std::uint64_t* out) const {
        if (packed_) {
            out[0] = key[0] & ~(m == kBZ ? a_mask_ | s_mask_ : m == kBSZ ? a_mask_ : s_mask_);
            return;
        }
        std::size_t o = 0;
        for (std::size_t k = 0; k < fields_; ++k) {
            if ((k == 0 && m != kABZ) || (k == 2 && m != kBSZ)) continue;
            out[o++] = key[k];
        }
    }

private:
    std::size_t fields_;
    bool packed_ = false;
    std::vector<int> shift_;
    std::uint64_t a_mask_ = 0, s_mask_ = 0, max_key_ = 0;
};

// Distinct keys of `width` words in ascending order, with their counts.
class KeyCounts {
public:
    // `keys` holds n keys; weights (if given) count each key that often.
    KeyCounts(std::vector<std::uint64_t> keys, std::size_t width, const std::vector<std::uint64_t>* weights,
              std::uint64_t max_key)
        : width_(width) {
        const std::size_t n = keys.size() / width;
        if (width == 1 && weights == nullptr) {
            Buffer<std::uint64_t> scratch = Buffer<std::uint64_t>::uninitialised(n);
            radix_sort(keys.data(), n, max_key, scratch.data());
            keys_.reserve(n);
            counts_.reserve(n);
            StopEvery stop;
            for (std::size_t i = 0; i < n;) {
                stop.at(i);
                std::size_t j = i + 1;
                while (j < n && keys[j] == keys[i]) ++j;
                keys_.push_back(keys[i]);
                counts_.push_back(j - i);
                i = j;
            }
            return;
        }
        const std::vector<std::size_t> order = row_order(keys.data(), n, width);
        // At most n distinct keys: room for all of them at once, so that no
        // growth copies the tables (a long pause without a stop point).
        keys_.reserve(n * width);
        counts_.reserve(n);
        const std::uint64_t* base = keys.data();
        auto row = [&](std::size_t i) { return base + i * width; };
        StopEvery stop;
        for (std::size_t i = 0; i < n;) {
            stop.at(i);
            std::uint64_t count = 0;
            std::size_t j = i;
            while (j < n && std::equal(row(order[j]), row(order[j]) + width, row(order[i]))) {
                count += weights == nullptr ? 1 : (*weights)[order[j]];
                ++j;
            }
            keys_.insert(keys_.end(), row(order[i]), row(order[i]) + width);
            counts_.push_back(count);
            i = j;
        }
    }

    std::size_t size() const { return counts_.size(); }
    const std::uint64_t* key(std::size_t i) const { return keys_.data() + i * width_; }
    std::uint64_t count(std::size_t i) const { return counts_[i]; }
    const std::vector<std::uint64_t>& counts() const { return counts_; }

    std::uint64_t find(const std::uint64_t* key) const {
        std::size_t lo = 0, hi = size();
        while (lo < hi) {
            const std::size_t mid = (lo + hi) / 2;
            const std::uint64_t* k = this->key(mid);
            if (std::lexicographical_compare(k, k + width_, key, key + width_)) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        if (lo == size() || !std::equal(key, key + width_, this->key(lo))) panic("no entry found for key");
        return counts_[lo];
    }

private:
    std::size_t width_;
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint64_t> counts_;
};

}  // namespace

ConditionalEstimate conditional_from_bins(const std::vector<const std::uint64_t*>& bins,
                                          const std::vector<std::size_t>& lags, std::size_t n,
                                          std::uint64_t n_bins, std::uint64_t history, bool target_past,
                                          const std::vector<const std::uint8_t*>* present) {
    ConditionalEstimate out;
    const std::size_t series = bins.size();
    if (lags.size() > 1 && std::find(lags.begin() + 1, lags.end(), 0) != lags.end()) {
        throw std::invalid_argument("every lag must be at least 1");
    }
    if (n < 3 || n <= history) return out;
    const std::size_t h = static_cast<std::size_t>(history);
    std::size_t longest = 1;
    for (std::size_t k = 1; k < series; ++k) longest = std::max(longest, lags[k]);
    const std::size_t first = first_counted_step(h, longest);
    if (first >= n) return out;
    // The steps counted: all from `first`, or those whose samples are present.
    std::vector<std::size_t> steps;
    steps.reserve(n - first);  // no growth copies a long table between stop points
    for (std::size_t t = first; t < n; ++t) {
        stop_point(t);
        bool whole = true;
        if (present != nullptr) {
            const auto& p = *present;
            whole = p[0][t] != 0;
            for (std::size_t j = 0; j < h && whole && target_past; ++j) whole = p[0][t - 1 - j] != 0;
            for (std::size_t k = 1; k < series && whole; ++k) {
                for (std::size_t j = 0; j < h && whole; ++j) whole = p[k][t - lags[k] - j] != 0;
            }
        }
        if (whole) steps.push_back(t);
    }
    const std::size_t count = steps.size();
    if (count == 0) return out;

    // The past codes of every series as the kernel forms them: codes[u - h]
    // ends at step u - 1.
    const PastWeights weights(n_bins, history);
    std::vector<Buffer<std::uint64_t>> codes;
    for (std::size_t k = 0; k < series; ++k) {
        codes.push_back(Buffer<std::uint64_t>::uninitialised(n - h));
        past_codes(bins[k], n, weights, codes.back().data());
    }
    const std::uint64_t radix = std::max<std::uint64_t>(n_bins, 1);
    const KeyLayout layout(radix, bounded_power(radix, history, ~std::uint64_t{0}), series - 2);
    const std::size_t width = layout.width();
    // The table grows piece by piece: a first touch of hundreds of
    // megabytes at once would be a long stretch without a stop point.
    std::vector<std::uint64_t> keys;
    keys.reserve(count * width);
    std::vector<std::uint64_t> fields(series + 1);
    for_pieces(count, [&](std::size_t begin, std::size_t end) {
        keys.resize(end * width);
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t t = steps[i];
            fields[0] = bins[0][t];
            fields[1] = target_past ? codes[0][t - h] : 0;  // the target's past ends at t - 1
            for (std::size_t k = 1; k < series; ++k) fields[k + 1] = codes[k][t - lags[k] + 1 - h];
            layout.make(fields.data(), keys.data() + i * width);
        }
    });
    codes.clear();

    const KeyCounts full(std::move(keys), width, nullptr, layout.max_key());
    auto marginal = [&](KeyLayout::Marginal m) {
        const std::size_t w = layout.width(m);
        std::vector<std::uint64_t> projected;
        projected.reserve(full.size() * w);
        for_pieces(full.size(), [&](std::size_t begin, std::size_t end) {
            projected.resize(end * w);
            for (std::size_t i = begin; i < end; ++i) layout.project(m, full.key(i), projected.data() + i * w);
        });
        return KeyCounts(std::move(projected), w, &full.counts(), layout.max_key());
    };
    const KeyCounts bz = marginal(KeyLayout::kBZ);
    const KeyCounts bsz = marginal(KeyLayout::kBSZ);
    const KeyCounts abz = marginal(KeyLayout::kABZ);

    const double total = static_cast<double>(count);
    std::vector<std::uint64_t> probe(width);
    double te = 0.0;
    for (std::size_t i = 0; i < full.size(); ++i) {
        stop_point(i, 1024);  // three searches of tables that need not fit a cache
        const std::uint64_t* key = full.key(i);
        layout.project(KeyLayout::kBZ, key, probe.data());
        const std::uint64_t c_bz = bz.find(probe.data());
        layout.project(KeyLayout::kBSZ, key, probe.data());
        const std::uint64_t c_bsz = bsz.find(probe.data());
        layout.project(KeyLayout::kABZ, key, probe.data());
        const std::uint64_t c_abz = abz.find(probe.data());
        te = te + transfer_term(full.count(i), c_bz, c_bsz, c_abz, total);
    }
    out.te = te > 0.0 ? te : 0.0;
    out.states = full.size();
    out.steps = count;
    return out;
}

ConditionalEstimate conditional_transfer_entropy(Span source, Span target, const StridedMatrix& conditions,
                                                 std::uint64_t n_bins, std::uint64_t history, std::size_t lag,
                                                 const std::vector<std::size_t>& condition_lags,
                                                 const std::vector<std::size_t>* target_lags) {
    std::size_t n = std::min(source.len, target.len);
    if (conditions.rows != 0) n = std::min(n, conditions.cols);
    if (n < 3 || n <= history) return {};
    // Every series is binned over its own full length, as transfer_entropy
    // bins it.
    std::vector<Buffer<std::uint64_t>> bins;
    bins.push_back(series_bins(target, n_bins));
    bins.push_back(series_bins(source, n_bins));
    Buffer<double> row = Buffer<double>::uninitialised(conditions.cols);
    for (std::size_t k = 0; k < conditions.rows; ++k) {
        for (std::size_t t = 0; t < conditions.cols; ++t) row[t] = conditions.at(k, t);
        bins.push_back(series_bins(Span{row.data(), conditions.cols}, n_bins));
    }
    std::vector<const std::uint64_t*> views;
    for (const auto& b : bins) views.push_back(b.data());
    std::vector<std::size_t> lags{1, lag};
    lags.insert(lags.end(), condition_lags.begin(), condition_lags.end());
    if (target_lags != nullptr) {
        for (std::size_t l : *target_lags) {
            views.push_back(bins[0].data());
            lags.push_back(l);
        }
    }
    return conditional_from_bins(views, lags, n, n_bins, history, target_lags == nullptr);
}

}  // namespace zelmo::network
