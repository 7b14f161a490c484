// The call frame shared by every function of the module: binding of
// positional and keyword arguments, conversion of each parameter by its kind,
// array borrows and views, the call of the measure, and the conversion of its
// result. Each function is one FunctionSpec row; the frame is written once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "../kernels/support.hpp"

namespace zelmo::py {

enum class Kind : std::uint8_t {
    array1d,  // read-only contiguous view of a 1-D float64 ndarray
    array2d,  // strided handle of a 2-D float64 ndarray
    int64,    // PyLong_AsLong
    uint64,   // PyLong_AsUnsignedLongLong, through __index__ for non-ints
    float64,  // PyFloat_AsDouble
};

// One parameter: its name, kind, and default (a parameter without a default
// is required; required parameters come first).
struct Param {
    const char* name;
    Kind kind;
    bool has_default = false;
    std::int64_t i64 = 0;
    std::uint64_t u64 = 0;
    double f64 = 0.0;
};

constexpr Param array1d(const char* name) { return Param{name, Kind::array1d}; }
constexpr Param array2d(const char* name) { return Param{name, Kind::array2d}; }
constexpr Param int64(const char* name) { return Param{name, Kind::int64}; }
constexpr Param int64(const char* name, std::int64_t def) { return Param{name, Kind::int64, true, def, 0, 0.0}; }
constexpr Param uint64(const char* name, std::uint64_t def) {
    return Param{name, Kind::uint64, true, 0, def, 0.0};
}
constexpr Param float64(const char* name, double def) { return Param{name, Kind::float64, true, 0, 0, def}; }

inline constexpr std::size_t kMaxParams = 4;

// The converted arguments, in parameter order, as the measure receives them.
struct Args {
    struct Value {
        Span span;
        StridedMatrix matrix;
        std::int64_t i64 = 0;
        std::uint64_t u64 = 0;
        double f64 = 0.0;
    };
    Value values[kMaxParams];

    Span span(std::size_t k) const { return values[k].span; }
    const StridedMatrix& matrix(std::size_t k) const { return values[k].matrix; }
    std::int64_t i64(std::size_t k) const { return values[k].i64; }
    std::uint64_t u64(std::size_t k) const { return values[k].u64; }
    double f64(std::size_t k) const { return values[k].f64; }
};

// A measure's answer: one float, or a square matrix in row-major order.
struct Result {
    Result(double v) : scalar(v) {}  // NOLINT: measures return plain doubles
    Result(std::vector<double> rows, std::size_t n) : scalar(0.0), matrix(std::move(rows)), order(n), is_matrix(true) {}

    double scalar;
    std::vector<double> matrix;
    std::size_t order = 0;
    bool is_matrix = false;
};

using Measure = Result (*)(const Args&);

struct FunctionSpec {
    const char* name;
    const char* doc;  // "name(signature)\n--\n\n": a text signature and no docstring
    const Param* params;
    std::size_t n_params;
    Measure measure;
};

// Runs the whole frame for one call of `f`.
PyObject* call(const FunctionSpec& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace zelmo::py
