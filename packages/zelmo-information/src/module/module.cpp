// The extension module `_core`: its function table and its initialisation.
// Each function is one row below plus one plain C++ measure.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <string>
#include <utility>

#include "../dependence/dependence.hpp"
#include "../divergence/divergence.hpp"
#include "../entropy/entropy.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "python_compat.hpp"

namespace zelmo::py {

namespace {

constexpr Param kXY16[] = {array1d("x"), array1d("y"), uint64("n_bins", 16)};
constexpr Param kXY10[] = {array1d("x"), array1d("y"), uint64("n_bins", 10)};
constexpr Param kXYZ16[] = {array1d("x"), array1d("y"), array1d("z"), uint64("n_bins", 16)};
constexpr Param kTransfer[] = {array1d("source"), array1d("target"), uint64("n_bins", 16), uint64("history", 1)};
constexpr Param kBatch[] = {array2d("signals"), uint64("n_bins", 16), uint64("history", 1)};
constexpr Param kShannon[] = {array1d("data"), int64("n_bins"), float64("base", 2.0)};
constexpr Param kRenyi[] = {array1d("data"), float64("alpha", 2.0), int64("n_bins", -1), float64("base", 2.0)};
constexpr Param kTsallis[] = {array1d("data"), float64("q", 2.0), int64("n_bins", -1)};
constexpr Param kPQ10[] = {array1d("p"), array1d("q"), uint64("n_bins", 10)};
constexpr Param kPQAuto[] = {array1d("p"), array1d("q"), int64("n_bins", -1)};
constexpr Param kCrossEntropy[] = {array1d("p"), array1d("q"), int64("n_bins", -1), float64("base", 2.0)};

// Before each pair of the batch: the handler of a pending signal runs, and
// the exception it raises (KeyboardInterrupt for Ctrl-C) stops the batch.
// The rows have been read by then, so Python code run here cannot change
// what the batch computes.
void check_signals() {
    if (PyErr_CheckSignals() != 0) throw PythonError{};
}

Result batch(const Args& a) {
    const StridedMatrix& m = a.matrix(0);
    return Result(batch_transfer_entropy(m, a.u64(1), a.u64(2), check_signals), m.rows);
}

#define ZELMO_ROW(name, signature, params, body)                                                   \
    FunctionSpec {                                                                                 \
        name, name signature "\n--\n\n", params, std::size(params), [](const Args& a) -> Result { \
            return body;                                                                           \
        }                                                                                          \
    }

// Registration order, which is also the order of __all__.
constexpr FunctionSpec kFunctions[] = {
    ZELMO_ROW("mutual_information", "(x, y, n_bins=16)", kXY16,
              mutual_information(a.span(0), a.span(1), a.u64(2))),
    ZELMO_ROW("transfer_entropy", "(source, target, n_bins=16, history=1)", kTransfer,
              transfer_entropy(a.span(0), a.span(1), a.u64(2), a.u64(3))),
    FunctionSpec{"batch_transfer_entropy_py", "batch_transfer_entropy_py(signals, n_bins=16, history=1)\n--\n\n",
                 kBatch, std::size(kBatch), batch},
    ZELMO_ROW("cond_mutual_information", "(x, y, z, n_bins=16)", kXYZ16,
              cond_mutual_information(a.span(0), a.span(1), a.span(2), a.u64(3))),
    ZELMO_ROW("shannon_entropy", "(data, n_bins, base=2.0)", kShannon,
              shannon_entropy(a.span(0), a.i64(1), a.f64(2))),
    ZELMO_ROW("renyi_entropy", "(data, alpha=2.0, n_bins=..., base=2.0)", kRenyi,
              renyi_entropy(a.span(0), a.f64(1), a.i64(2), a.f64(3))),
    ZELMO_ROW("tsallis_entropy", "(data, q=2.0, n_bins=...)", kTsallis,
              tsallis_entropy(a.span(0), a.f64(1), a.i64(2))),
    ZELMO_ROW("conditional_entropy", "(x, y, n_bins=10)", kXY10,
              conditional_entropy(a.span(0), a.span(1), a.u64(2))),
    ZELMO_ROW("joint_entropy", "(x, y, n_bins=10)", kXY10, joint_entropy(a.span(0), a.span(1), a.u64(2))),
    ZELMO_ROW("kl_divergence", "(p, q, n_bins=10)", kPQ10, kl_divergence(a.span(0), a.span(1), a.u64(2))),
    ZELMO_ROW("js_divergence", "(p, q, n_bins=10)", kPQ10, js_divergence(a.span(0), a.span(1), a.u64(2))),
    ZELMO_ROW("information_gain", "(x, y, n_bins=10)", kXY10,
              information_gain(a.span(0), a.span(1), a.u64(2))),
    ZELMO_ROW("cross_entropy", "(p, q, n_bins=..., base=2.0)", kCrossEntropy,
              cross_entropy(a.span(0), a.span(1), a.i64(2), a.f64(3))),
    ZELMO_ROW("hellinger_distance", "(p, q, n_bins=...)", kPQAuto,
              hellinger_distance(a.span(0), a.span(1), a.i64(2))),
    ZELMO_ROW("total_variation_distance", "(p, q, n_bins=...)", kPQAuto,
              total_variation_distance(a.span(0), a.span(1), a.i64(2))),
};

#undef ZELMO_ROW

constexpr std::size_t kCount = std::size(kFunctions);

template <std::size_t I>
PyObject* entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(kFunctions[I], args, nargs, kwnames);
}

template <std::size_t... I>
std::array<PyMethodDef, kCount> method_defs(std::index_sequence<I...>) {
    return {PyMethodDef{kFunctions[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>)),
                        METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kFunctions[I].doc}...};
}

// Static, never freed: the function objects keep pointers into it.
std::array<PyMethodDef, kCount> g_defs = method_defs(std::make_index_sequence<kCount>{});

// The module's __all__, created as an empty list when absent.
PyObject* all_list(PyObject* module) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return nullptr;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return nullptr;
        }
    }
    if (!PyList_Check(all)) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        Py_DECREF(all);
        return nullptr;
    }
    return all;
}

std::string error_description() {
    PyObject* exc = take_raised_exception();
    std::string text = "unknown error";
    if (exc != nullptr) {
        if (PyObject* s = PyObject_Str(exc)) {
            if (const char* utf8 = PyUnicode_AsUTF8(s)) text = utf8;
            Py_DECREF(s);
        }
        PyErr_Clear();
        Py_DECREF(exc);
    }
    return text;
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    PyObject* function = PyCMethod_New(def, module, module_name, nullptr);
    if (function == nullptr) return -1;
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    if (name == nullptr || !PyUnicode_Check(name)) {
        if (name != nullptr) PyErr_SetString(PyExc_TypeError, "__name__ must be a str");
        Py_XDECREF(name);
        Py_DECREF(function);
        return -1;
    }
    PyObject* all = all_list(module);
    int status = all == nullptr ? -1 : 0;
    if (status == 0 && PyList_Append(all, name) < 0) {
        raise_panic(Panic{"could not append __name__ to __all__: " + error_description(),
                          std::source_location::current()});
        status = -1;
    }
    if (status == 0) status = PyObject_SetAttr(module, name, function);
    Py_XDECREF(all);
    Py_DECREF(name);
    Py_DECREF(function);
    return status;
}

int exec_module(PyObject* module) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return -1;
    int status = 0;
    for (PyMethodDef& def : g_defs) {
        status = add_function(module, module_name, &def);
        if (status < 0) break;
    }
    Py_DECREF(module_name);
    return status;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace zelmo::py

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&zelmo::py::g_module); }
