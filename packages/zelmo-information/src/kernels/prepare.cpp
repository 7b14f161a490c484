#include "prepare.hpp"

#include <cstring>

namespace zelmo {

Buffer<double> finite_only(Span s) {
    Buffer<double> out = Buffer<double>::uninitialised(s.len);
    double* dst = out.data();
    std::size_t m = 0;
    for (std::size_t i = 0; i < s.len; ++i) {
        const double v = s.data[i];
        dst[m] = v;
        m += is_finite(v) ? 1 : 0;
    }
    out.truncate(m);
    return out;
}

Buffer<double> whole_sample(Span s) {
    Buffer<double> out = Buffer<double>::uninitialised(s.len);
    if (s.len != 0) std::memcpy(out.data(), s.data, s.len * sizeof(double));
    return out;
}

}  // namespace zelmo
