// The NaN-ignoring sample range: lo and hi folded from +inf and -inf with
// IEEE-754 minNum and maxNum, so NaN values never move them.
#pragma once

#include "support.hpp"

namespace zelmo {

struct SampleRange {
    double lo;
    double hi;
    double span() const { return hi - lo; }
    // A span below 1e-12 marks a constant sample; a NaN span does not.
    bool constant() const { return span() < kConstantRange; }
};

// lo and hi of the values in `s`; a sequence without numbers gives
// lo = +inf and hi = -inf (span -inf).
SampleRange sample_range(Span s);

// The same fold continued over a second sequence, as if `a` and `b` were one.
SampleRange sample_range(Span a, Span b);

// The range of the finite values of a followed by b (NaN and infinities
// skipped), and how many values of each are finite. Equal to the range of
// the finite-only copies of the samples, without making them.
struct FiniteSummary {
    SampleRange range;
    std::size_t count_a;
    std::size_t count_b;
};
FiniteSummary finite_summary(Span a, Span b = Span{});

}  // namespace zelmo
