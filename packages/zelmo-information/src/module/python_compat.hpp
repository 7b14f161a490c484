// The few CPython functions the module uses that are newer than the oldest
// supported interpreter (3.10). From 3.12 on they are CPython's own; before,
// each is written from the older calls so that it behaves the same: the
// raised exception is taken and restored as one normalised object with its
// traceback, and restoring it sets no implicit __context__.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zelmo::py {

#if PY_VERSION_HEX >= 0x030C0000

inline PyObject* take_raised_exception() { return PyErr_GetRaisedException(); }
inline void set_raised_exception(PyObject* exc) { PyErr_SetRaisedException(exc); }

#else

// The pending exception as a new reference (null when none), cleared.
inline PyObject* take_raised_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
        Py_DECREF(traceback);
    }
    Py_DECREF(type);
    return value;
}

// Raises `exc` (a reference that is stolen); null clears the error.
inline void set_raised_exception(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}

#endif

#if PY_VERSION_HEX >= 0x030B0000

inline PyObject* type_qualname(PyTypeObject* type) { return PyType_GetQualName(type); }

#else

// type.__qualname__ as the type object's own getter gives it: a heap type's
// recorded qualified name, a static type's tp_name after its last dot.
inline PyObject* type_qualname(PyTypeObject* type) {
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0) {
        PyObject* name = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
        Py_INCREF(name);
        return name;
    }
    const char* name = type->tp_name;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c == '.') name = c + 1;
    }
    return PyUnicode_FromString(name);
}

#endif

}  // namespace zelmo::py
