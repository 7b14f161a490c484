#include "errors.hpp"

#include <cstdio>
#include <string_view>

#include "python_compat.hpp"

namespace zelmo::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code of zelmo_information meets a broken internal "
    "invariant (an index beyond a table, a table size that overflows, an array "
    "that cannot be viewed).\n\n"
    "Like SystemExit it derives from BaseException, not Exception, so a handler "
    "for Exception does not catch it and it typically propagates all the way up "
    "the stack and ends the interpreter.";

// The source path from the package's src/ directory on, as the build may
// have recorded an absolute path.
std::string_view short_path(std::string_view path) {
    const auto at = path.rfind("/src/");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

}  // namespace

// One type for every extension module of the package: the first module to
// need it creates it and leaves it in the interpreter's dictionary for
// extensions, where the others find it. Its dotted name makes instances
// pickle by reference to zelmo_information.PanicException, which the
// package resolves through this function.
PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (type != nullptr) return type;
    constexpr const char* kKey = "zelmo_information.PanicException";
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (shared != nullptr) {
        PyObject* key = PyUnicode_FromString(kKey);
        if (key == nullptr) return nullptr;
        PyObject* found = PyDict_GetItemWithError(shared, key);  // borrowed
        Py_DECREF(key);
        if (found != nullptr) return type = Py_NewRef(found);
        if (PyErr_Occurred()) return nullptr;
    }
    PyObject* made = PyErr_NewExceptionWithDoc(kKey, kPanicDoc, PyExc_BaseException, nullptr);
    if (made != nullptr && shared != nullptr && PyDict_SetItemString(shared, kKey, made) < 0) {
        Py_DECREF(made);
        return nullptr;
    }
    return type = made;
}

void raise_panic(const Panic& p) {
    const std::string_view file = short_path(p.where.file_name());
    std::fprintf(stderr, "zelmo_information panicked at %.*s:%u:%u:\n%s\n", static_cast<int>(file.size()),
                 file.data(), static_cast<unsigned>(p.where.line()), static_cast<unsigned>(p.where.column()),
                 p.message.c_str());
    std::fflush(stderr);
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the error creating the type stays set
    PyObject* message = PyUnicode_DecodeUTF8(p.message.data(), static_cast<Py_ssize_t>(p.message.size()), "replace");
    if (message == nullptr) return;
    PyObject* exc = PyObject_CallOneArg(type, message);
    Py_DECREF(message);
    if (exc == nullptr) return;
    set_raised_exception(exc);
}

void raise_native(const std::exception_ptr& failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const PythonError&) {
    } catch (const Panic& p) {
        raise_panic(p);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(Panic{e.what(), std::source_location::current()});
    } catch (...) {
        raise_panic(Panic{"unknown native exception", std::source_location::current()});
    }
}

}  // namespace zelmo::py
