#include "transfer_pairs.hpp"

namespace zelmo::network {

TransferPairs::TransferPairs(const BinnedRows& rows, std::uint64_t history)
    : rows_(rows),
      history_(history),
      count_(rows.length() - static_cast<std::size_t>(history)),
      narrow_(rows.n_bins(), history, count_) {
    if (!narrow_.applies()) {
        weights_.emplace(rows.n_bins(), history);
        source_bins_ = Buffer<std::uint64_t>::uninitialised(rows.length());
        target_bins_ = Buffer<std::uint64_t>::uninitialised(rows.length());
        source_past_ = Buffer<std::uint64_t>::uninitialised(count_);
        target_past_ = Buffer<std::uint64_t>::uninitialised(count_);
    }
}

double TransferPairs::estimate(std::size_t source, std::size_t target) {
    const std::size_t length = rows_.length();
    double te;
    if (narrow_.applies()) {
        te = narrow_.estimate(rows_.bins32(source), rows_.bins32(target), length);
    } else {
        rows_.widen(source, source_bins_.data());
        rows_.widen(target, target_bins_.data());
        past_codes(source_bins_.data(), length, *weights_, source_past_.data());
        past_codes(target_bins_.data(), length, *weights_, target_past_.data());
        te = sorted_transfer_entropy(target_bins_.data() + history_, target_past_.data(), source_past_.data(),
                                     count_);
    }
    return te > 0.0 ? te : 0.0;
}

}  // namespace zelmo::network
