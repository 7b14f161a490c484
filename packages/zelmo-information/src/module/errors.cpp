#include "errors.hpp"

#include <cstdio>
#include <string_view>

namespace zelmo::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code of zelmo_information meets a broken internal "
    "invariant (an index beyond a table, a table size that overflows, an array "
    "that cannot be viewed).\n\n"
    "Like SystemExit it derives from BaseException, not Exception, so a handler "
    "for Exception does not catch it and it typically propagates all the way up "
    "the stack and ends the interpreter.";

PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("zelmo_information.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

// The source path from the package's src/ directory on, as the build may
// have recorded an absolute path.
std::string_view short_path(std::string_view path) {
    const auto at = path.rfind("/src/");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

}  // namespace

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
    PyErr_SetRaisedException(exc);
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
