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

}  // namespace zelmo
