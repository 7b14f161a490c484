#include "range.hpp"

#include <limits>

#include "vector_ops.hpp"

namespace zelmo {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

SampleRange sample_range(Span s) {
    SampleRange r{kInf, -kInf};
    vec::fold_range(s.data, s.len, r);
    return r;
}

SampleRange sample_range(Span a, Span b) {
    SampleRange r = sample_range(a);
    vec::fold_range(b.data, b.len, r);
    return r;
}

FiniteSummary finite_summary(Span a, Span b) {
    FiniteSummary f{SampleRange{kInf, -kInf}, 0, 0};
    f.count_a = vec::fold_finite_range(a.data, a.len, f.range);
    f.count_b = vec::fold_finite_range(b.data, b.len, f.range);
    return f;
}

}  // namespace zelmo
