#include "numpy_api.hpp"

#include <string>

#include "numpy_headers.hpp"
#include "python_compat.hpp"

// The API table and the runtime feature version declared by NumPy's headers.
void** zelmo_numpy_api = nullptr;
int zelmo_numpy_apiPyArray_RUNTIME_VERSION = 0;

namespace zelmo::py {

namespace {

PyObject* g_core = nullptr;             // numpy._core or numpy.core, kept for the process
PyArray_Descr* g_float64 = nullptr;     // the float64 descriptor, kept for the process

// Reads and clears the pending Python error as "Type: message".
std::string take_error_text() {
    PyObject* exc = take_raised_exception();
    if (exc == nullptr) return "unknown error";
    std::string text = Py_TYPE(exc)->tp_name;
    if (PyObject* s = PyObject_Str(exc)) {
        if (const char* utf8 = PyUnicode_AsUTF8(s)) {
            text += ": ";
            text += utf8;
        }
        Py_DECREF(s);
    }
    PyErr_Clear();
    Py_DECREF(exc);
    return text;
}

// NumPy's major version as numpy.lib.NumpyVersion(numpy.__version__).major.
long numpy_major(PyObject* numpy) {
    PyObject* version = PyObject_GetAttrString(numpy, "__version__");
    if (version == nullptr) return -1;
    PyObject* lib = PyImport_ImportModule("numpy.lib");
    PyObject* parsed = nullptr;
    if (lib != nullptr) parsed = PyObject_CallMethod(lib, "NumpyVersion", "O", version);
    Py_XDECREF(lib);
    Py_DECREF(version);
    if (parsed == nullptr) return -1;
    PyObject* major = PyObject_GetAttrString(parsed, "major");
    Py_DECREF(parsed);
    if (major == nullptr) return -1;
    const long value = PyLong_AsLong(major);
    Py_DECREF(major);
    return value;
}

bool load() {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return false;
    const long major = numpy_major(numpy);
    Py_DECREF(numpy);
    if (major == -1 && PyErr_Occurred()) return false;
    const char* core_name = major >= 2 ? "numpy._core" : "numpy.core";
    const std::string multiarray_name = std::string(core_name) + ".multiarray";
    PyObject* core = PyImport_ImportModule(core_name);
    if (core == nullptr) return false;
    PyObject* multiarray = PyImport_ImportModule(multiarray_name.c_str());
    if (multiarray == nullptr) {
        Py_DECREF(core);
        return false;
    }
    PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
    Py_DECREF(multiarray);
    if (capsule == nullptr) {
        Py_DECREF(core);
        return false;
    }
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    Py_DECREF(capsule);
    if (table == nullptr) {
        Py_DECREF(core);
        return false;
    }
    zelmo_numpy_api = static_cast<void**>(table);
    zelmo_numpy_apiPyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    g_float64 = PyArray_DescrFromType(NPY_DOUBLE);
    if (g_float64 == nullptr) {
        zelmo_numpy_api = nullptr;
        Py_DECREF(core);
        return false;
    }
    g_core = core;
    return true;
}

}  // namespace

void ensure_numpy() {
    if (zelmo_numpy_api != nullptr) return;
    if (!load()) panic("Failed to access NumPy array API capsule: " + take_error_text());
}

PyObject* numpy_core() { return g_core; }

bool is_float64_array(PyObject* obj, int ndim) {
    if (!PyArray_Check(obj)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != ndim) return false;
    PyArray_Descr* descr = PyArray_DESCR(array);
    return descr == g_float64 || PyArray_EquivTypes(descr, g_float64);
}

bool view_1d(PyObject* obj, Span& out) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const npy_intp len = PyArray_SIZE(array);
    if (len == 0) {
        out = Span{};
        return true;
    }
    const int flags = PyArray_FLAGS(array);
    const bool aligned = (flags & NPY_ARRAY_ALIGNED) != 0;
    const bool contiguous = (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
    const void* data = PyArray_DATA(array);
    if (!aligned || !contiguous || data == nullptr) return false;
    out = Span{static_cast<const double*>(data), static_cast<std::size_t>(len)};
    return true;
}

StridedMatrix view_2d(PyObject* obj) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    return StridedMatrix{static_cast<const char*>(PyArray_DATA(array)), static_cast<std::size_t>(dims[0]),
                         static_cast<std::size_t>(dims[1]), strides[0], strides[1]};
}

}  // namespace zelmo::py
