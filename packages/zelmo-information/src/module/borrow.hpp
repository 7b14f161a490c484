// The process-wide registry of array borrows. Extension modules that read or
// write NumPy buffers in native code share it through the capsule
// `_array_borrow_registry` on NumPy's core module, so that a buffer one
// module holds for writing is never read by another at the same time.
//
// Capsule name "_array_borrow_registry"; its pointer is a BorrowRegistryApi.
// Two borrows conflict when they come from the same base buffer (the object
// at the end of the array's base chain), their byte ranges overlap, and at
// least one of them is exclusive. Shared borrows of the same memory coexist.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

extern "C" {

// Identifies one borrow; filled by acquire, handed back to release, so that a
// borrow is released even if the array's shape or data changed meanwhile.
struct BorrowKey {
    std::uintptr_t base;
    std::uintptr_t start;
    std::uintptr_t end;
};

enum : int {
    kBorrowOk = 0,
    kBorrowConflict = -1,
    kBorrowNoMemory = -2,
};

struct BorrowRegistryApi {
    std::uint64_t version;  // 1
    void* registry;
    int (*acquire_shared)(void* registry, PyObject* array, BorrowKey* key);
    int (*acquire_exclusive)(void* registry, PyObject* array, BorrowKey* key);
    void (*release)(void* registry, const BorrowKey* key);
};

}  // extern "C"

namespace zelmo::py {

// A shared borrow of one array, held with a new reference to the array for
// as long as the object lives.
class SharedBorrow {
public:
    SharedBorrow() = default;
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { reset(); }

    // Registers `array` (an ndarray) for shared access. Throws Panic
    // ("...: AlreadyBorrowed") when another module holds it exclusively and
    // std::bad_alloc when the registry cannot grow.
    void acquire(PyObject* array);
    void reset();
    PyObject* array() const { return array_; }

private:
    PyObject* array_ = nullptr;
    BorrowKey key_{};
};

}  // namespace zelmo::py
