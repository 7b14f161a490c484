// The NaN-ignoring sample range: lo and hi folded from +inf and -inf with
// IEEE-754 minNum and maxNum, so NaN values never move them.
#pragma once

#include <cmath>

#include "support.hpp"

namespace zelmo {

// The grid the bin rules place values on: its low end and its range, and
// whether each value v is to be placed as v * 0.5.
struct Grid {
    double lo;
    double range;
    bool halved;

    double place(double v) const { return halved ? v * 0.5 : v; }
};

struct SampleRange {
    double lo;
    double hi;
    double span() const { return hi - lo; }
    // A span below 1e-12 marks a constant sample; a NaN span does not.
    bool constant() const { return span() < kConstantRange; }

    // The grid of this range. Finite lo and hi more than DBL_MAX apart give
    // a span of +inf, on which every offset would be 0; there every operand
    // is halved instead: lo * 0.5, range hi * 0.5 - lo * 0.5 (finite) and
    // values v * 0.5. Any other range is the grid as it is.
    Grid grid() const {
        const double range = span();
        if (std::isinf(range) && std::isfinite(lo) && std::isfinite(hi)) {
            return Grid{lo * 0.5, hi * 0.5 - lo * 0.5, true};
        }
        return Grid{lo, range, false};
    }
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
