#include "frame.hpp"

#include <cstring>
#include <string>

#include "borrow.hpp"
#include "errors.hpp"
#include "numpy_api.hpp"
#include "python_compat.hpp"

namespace zelmo::py {

namespace {

std::size_t required_count(const FunctionSpec& f) {
    std::size_t n = 0;
    while (n < f.n_params && !f.params[n].has_default) ++n;
    return n;
}

std::string quoted_list(const FunctionSpec& f, const std::size_t* missing, std::size_t k) {
    std::string out;
    for (std::size_t i = 0; i < k; ++i) {
        if (i > 0) out += (k == 2) ? " and " : (i + 1 == k ? ", and " : ", ");
        out += '\'';
        out += f.params[missing[i]].name;
        out += '\'';
    }
    return out;
}

// Fills slots[0 .. n_params) with the bound arguments (borrowed references,
// null where absent). Sets TypeError and returns false on a binding error.
bool bind(const FunctionSpec& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const auto n_params = static_cast<Py_ssize_t>(f.n_params);
    const std::size_t required = required_count(f);
    if (nargs > n_params) {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zd positional arguments but %zd %s given", f.name,
                     required, n_params, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t n_kw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
        if (utf8 == nullptr) PyErr_Clear();  // not encodable: matches no parameter
        Py_ssize_t match = -1;
        for (Py_ssize_t p = 0; utf8 != nullptr && p < n_params; ++p) {
            const char* name = f.params[p].name;
            if (static_cast<Py_ssize_t>(std::strlen(name)) == len && std::memcmp(name, utf8, len) == 0) {
                match = p;
                break;
            }
        }
        if (match < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name, key);
            return false;
        }
        if (slots[match] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", f.name,
                         f.params[match].name);
            return false;
        }
        slots[match] = args[nargs + k];
    }
    if (static_cast<std::size_t>(nargs) < required) {
        std::size_t missing[kMaxParams];
        std::size_t k = 0;
        for (std::size_t p = 0; p < required; ++p) {
            if (slots[p] == nullptr) missing[k++] = p;
        }
        if (k > 0) {
            const std::string names = quoted_list(f, missing, k);
            PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", f.name, k,
                         k == 1 ? "" : "s", names.c_str());
            return false;
        }
    }
    return true;
}

// An exact TypeError from converting parameter `name` becomes
// TypeError("argument 'name': <message>") with the original's __cause__;
// any other error (OverflowError among them) passes through unchanged.
void wrap_argument_error(const char* name) {
    PyObject* exc = take_raised_exception();
    if (exc == nullptr || Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        set_raised_exception(exc);
        return;
    }
    PyObject* wrapped = nullptr;
    if (PyObject* text = PyObject_Str(exc)) {
        if (PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, text)) {
            wrapped = PyObject_CallOneArg(PyExc_TypeError, message);
            Py_DECREF(message);
        }
        Py_DECREF(text);
    }
    if (wrapped == nullptr) {  // the failure to build the new error is raised instead
        Py_DECREF(exc);
        return;
    }
    PyException_SetCause(wrapped, PyException_GetCause(exc));
    Py_DECREF(exc);
    set_raised_exception(wrapped);
}

void set_not_ndarray(PyObject* obj) {
    if (obj == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'ndarray'");
        return;
    }
    PyObject* qualname = type_qualname(Py_TYPE(obj));
    if (qualname == nullptr) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'ndarray'", qualname);
    Py_DECREF(qualname);
}

int array_ndim(Kind kind) { return kind == Kind::array1d ? 1 : 2; }

// Converts one bound argument into `out`. Returns false with a Python error
// set (not yet wrapped); a Panic or std::bad_alloc propagates.
bool convert(const Param& p, PyObject* obj, Args::Value& out, SharedBorrow& borrow) {
    switch (p.kind) {
        case Kind::array1d:
        case Kind::array2d:
            ensure_numpy();
            if (!is_float64_array(obj, array_ndim(p.kind))) {
                set_not_ndarray(obj);
                return false;
            }
            borrow.acquire(obj);
            return true;
        case Kind::int64: {
            const long v = PyLong_AsLong(obj);
            if (v == -1 && PyErr_Occurred()) return false;
            out.i64 = v;
            return true;
        }
        case Kind::uint64: {
            unsigned long long v = 0;
            if (PyLong_Check(obj)) {
                v = PyLong_AsUnsignedLongLong(obj);
            } else {
                PyObject* index = PyNumber_Index(obj);
                if (index == nullptr) return false;
                v = PyLong_AsUnsignedLongLong(index);
                Py_DECREF(index);
            }
            if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
            out.u64 = v;
            return true;
        }
        case Kind::float64: {
            const double v = PyFloat_AsDouble(obj);
            if (v == -1.0 && PyErr_Occurred()) return false;
            out.f64 = v;
            return true;
        }
    }
    return false;
}

void take_default(const Param& p, Args::Value& out) {
    out.i64 = p.i64;
    out.u64 = p.u64;
    out.f64 = p.f64;
}

PyObject* to_python(const Result& r) {
    if (!r.is_matrix) return PyFloat_FromDouble(r.scalar);
    const auto n = static_cast<Py_ssize_t>(r.order);
    PyObject* outer = PyList_New(n);
    if (outer == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_New(n);
        if (row == nullptr) {
            Py_DECREF(outer);
            return nullptr;
        }
        PyList_SET_ITEM(outer, i, row);
        for (Py_ssize_t j = 0; j < n; ++j) {
            PyObject* v = PyFloat_FromDouble(r.matrix[static_cast<std::size_t>(i * n + j)]);
            if (v == nullptr) {
                Py_DECREF(outer);
                return nullptr;
            }
            PyList_SET_ITEM(row, j, v);
        }
    }
    return outer;
}

}  // namespace

PyObject* call(const FunctionSpec& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[kMaxParams] = {};
    if (!bind(f, args, nargs, kwnames, slots)) return nullptr;

    Args converted;
    Result result(0.0);
    std::exception_ptr failure;
    {
        // Every borrow taken below is released when this block ends, on every
        // path, before any failure is raised.
        SharedBorrow borrows[kMaxParams];
        try {
            for (std::size_t k = 0; k < f.n_params; ++k) {
                const Param& p = f.params[k];
                if (slots[k] == nullptr) {
                    take_default(p, converted.values[k]);
                } else if (!convert(p, slots[k], converted.values[k], borrows[k])) {
                    wrap_argument_error(p.name);
                    throw PythonError{};
                }
            }
            // Views only now: converting a later argument may have run Python
            // code, so each array is checked again as it is viewed.
            for (std::size_t k = 0; k < f.n_params; ++k) {
                const Param& p = f.params[k];
                PyObject* array = borrows[k].array();
                if (array == nullptr) continue;
                if (!is_float64_array(array, array_ndim(p.kind))) {
                    set_not_ndarray(array);
                    wrap_argument_error(p.name);
                    throw PythonError{};
                }
                if (p.kind == Kind::array2d) {
                    converted.values[k].matrix = view_2d(array);
                } else if (!view_1d(array, converted.values[k].span)) {
                    panic("called `Result::unwrap()` on an `Err` value: AsSliceError");
                }
            }
            result = f.measure(converted);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        raise_native(failure);
        return nullptr;
    }
    return to_python(result);
}

}  // namespace zelmo::py
