// The per-element passes every measure is built from (range scans and the
// two bin rules), written once with a portable scalar body and, on x86-64
// processors that have it, an AVX2 body chosen at run time. Both bodies do
// the same IEEE operations on every element in the same order, so they give
// identical results; only independent per-element work is vectorised.
#pragma once

#include <cstddef>
#include <cstdint>

#include "range.hpp"
#include "support.hpp"

namespace zelmo::vec {

// Continues the NaN-ignoring fold of lo and hi over p[0 .. n).
void fold_range(const double* p, std::size_t n, SampleRange& r);

// lo and hi over the finite values of p[0 .. n) (NaN and infinities
// skipped), continuing `r`; returns the number of finite values.
std::size_t fold_finite_range(const double* p, std::size_t n, SampleRange& r);

// The largest bin count whose indices the vector bodies produce (they clamp
// in doubles and convert to 32-bit integers).
inline constexpr std::uint64_t kMaxVectorBins = std::uint64_t{1} << 31;

// Scaled rule: out[i] = min(trunc_sat(((p[i] - lo) / range) * N), n_bins - 1)
// for 1 <= n_bins <= kMaxVectorBins.
void scaled_bins(const double* p, std::size_t n, double lo, double range, std::uint64_t n_bins, std::uint32_t* out);

// Adds one count per index (each below `cells`) to `table`. When many
// indices go to a small table, they are counted through several interleaved
// copies, so that runs of equal indices do not wait on each other's stores;
// finish() adds the copies up.
class Tally {
public:
    static constexpr std::size_t kLanes = 8;

    Tally(std::uint64_t* table, std::uint64_t cells, std::uint64_t expected);
    Tally(const Tally&) = delete;
    Tally& operator=(const Tally&) = delete;

    // Counts `index` in copy `slot` modulo kLanes (consecutive slots for
    // consecutive indices).
    void bump(std::size_t slot, std::uint32_t index) { ++lane_[slot % kLanes][index]; }
    std::uint64_t* lane(std::size_t k) const { return lane_[k]; }
    void add(const std::uint32_t* index, std::size_t n) {
        if (lanes_.size() == 0) {
            for (std::size_t i = 0; i < n; ++i) ++table_[index[i]];
            return;
        }
        // Local copies of the lane pointers: stores to the counters could
        // otherwise alias them and force a reload per index.
        std::uint64_t* c[kLanes];
        for (std::size_t k = 0; k < kLanes; ++k) c[k] = lane_[k];
        std::size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) {
            for (std::size_t k = 0; k < kLanes; ++k) ++c[k][index[i + k]];
        }
        for (; i < n; ++i) ++c[i % kLanes][index[i]];
    }
    void finish();

private:
    std::uint64_t* table_;
    std::uint64_t cells_;
    Buffer<std::uint64_t> lanes_;  // kLanes copies of the table, or empty
    std::uint64_t* lane_[kLanes];  // each copy, or the table itself kLanes times
};

// Width rule: min(floor_sat((p[i] - lo) / width), n_bins - 1), and the
// scaled rule as in scaled_bins, for 1 <= n_bins <= kMaxVectorBins, each bin
// counted straight into `tally` as it is found (so that counting overlaps the
// stream of values from memory). With `finite_only`, non-finite values are
// skipped.
void count_width_bins(const double* p, std::size_t n, double lo, double width, std::uint64_t n_bins,
                      bool finite_only, Tally& tally);
void count_scaled_bins(const double* p, std::size_t n, double lo, double range, std::uint64_t n_bins,
                       bool finite_only, Tally& tally);

// Elements per block when a pass bins into a small buffer and counts it.
inline constexpr std::size_t kBlock = 2048;

}  // namespace zelmo::vec
