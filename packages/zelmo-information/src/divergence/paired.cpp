#include "paired.hpp"

#include "../kernels/binning.hpp"
#include "../kernels/histogram.hpp"
#include "../kernels/prepare.hpp"
#include "../kernels/range.hpp"

namespace zelmo {

namespace {

void count_into(Counts& table, Span values, SampleRange r, std::uint64_t n_bins) {
    const bool constant = r.constant();
    const double span = r.span();
    for (std::size_t i = 0; i < values.len; ++i) {
        const std::uint64_t bin = constant ? 0 : scaled_bin_index(values.data[i], r.lo, span, n_bins);
        if (bin >= n_bins) panic_index(n_bins, bin);
        ++table[bin];
    }
}

}  // namespace

PairedCounts paired_histograms(Span p, Span q, std::uint64_t n_bins) {
    const SampleRange r = sample_range(p, q);
    check_capacity(n_bins);
    PairedCounts out{Counts::zeroed(n_bins), Counts::zeroed(n_bins)};
    count_into(out.p, p, r, n_bins);
    count_into(out.q, q, r, n_bins);
    return out;
}

std::optional<NormalisedCounts> finite_paired_histograms(Span p, Span q, std::int64_t n_bins) {
    const Buffer<double> fp = finite_only(p);
    const Buffer<double> fq = finite_only(q);
    if (fp.size() == 0 || fq.size() == 0) return std::nullopt;
    const std::uint64_t bins = resolve_bin_count(n_bins, fp.size() > fq.size() ? fp.size() : fq.size());
    PairedCounts counts = paired_histograms(as_span(fp), as_span(fq), bins);
    const double p_norm = static_cast<double>(count_total(counts.p)) + 1e-12;
    const double q_norm = static_cast<double>(count_total(counts.q)) + 1e-12;
    return NormalisedCounts{std::move(counts), p_norm, q_norm};
}

}  // namespace zelmo
