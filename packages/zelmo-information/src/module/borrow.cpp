#include "borrow.hpp"

#include <algorithm>
#include <new>
#include <vector>

#include "../kernels/support.hpp"
#include "numpy_api.hpp"
#include "numpy_headers.hpp"

namespace zelmo::py {

namespace {

constexpr const char* kCapsuleName = "_array_borrow_registry";

struct Entry {
    BorrowKey key;
    std::int64_t count;  // > 0: shared borrows of exactly this range; -1: exclusive
};

bool same_range(const BorrowKey& a, const BorrowKey& b) {
    return a.base == b.base && a.start == b.start && a.end == b.end;
}

// The live borrows of the process. Borrows last one call, so there are few
// at any time: a flat list scanned in full beats a map, and once it has
// grown, taking and releasing borrows allocates nothing.
using Registry = std::vector<Entry>;

BorrowKey key_of(PyObject* obj) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    PyObject* base = obj;
    while (PyObject* next = PyArray_BASE(reinterpret_cast<PyArrayObject*>(base))) {
        base = next;
        if (!PyArray_Check(base)) break;
    }
    auto start = reinterpret_cast<std::uintptr_t>(PyArray_DATA(array));
    std::uintptr_t end = start;
    const int ndim = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    bool empty = false;
    std::intptr_t low = 0, high = 0;
    for (int d = 0; d < ndim; ++d) {
        if (dims[d] == 0) empty = true;
        const std::intptr_t extent = static_cast<std::intptr_t>(dims[d] - 1) * strides[d];
        (extent < 0 ? low : high) += extent;
    }
    if (!empty) {
        end = start + static_cast<std::uintptr_t>(high) + static_cast<std::uintptr_t>(PyArray_ITEMSIZE(array));
        start = start + static_cast<std::uintptr_t>(low);
    }
    return BorrowKey{reinterpret_cast<std::uintptr_t>(base), start, end};
}

int acquire(void* registry, PyObject* array, BorrowKey* key, bool exclusive) {
    *key = key_of(array);
    if (key->start == key->end) return kBorrowOk;  // no memory, nothing to guard
    auto& entries = *static_cast<Registry*>(registry);
    Entry* same = nullptr;
    for (Entry& e : entries) {
        if (e.key.base != key->base) continue;
        const bool overlap = e.key.start < key->end && key->start < e.key.end;
        if (overlap && (exclusive || e.count < 0)) return kBorrowConflict;
        if (same_range(e.key, *key)) same = &e;
    }
    if (same != nullptr) {
        ++same->count;
        return kBorrowOk;
    }
    try {
        entries.push_back(Entry{*key, exclusive ? -1 : 1});
    } catch (const std::bad_alloc&) {
        return kBorrowNoMemory;
    }
    return kBorrowOk;
}

extern "C" int acquire_shared(void* registry, PyObject* array, BorrowKey* key) {
    return acquire(registry, array, key, false);
}

extern "C" int acquire_exclusive(void* registry, PyObject* array, BorrowKey* key) {
    return acquire(registry, array, key, true);
}

extern "C" void release(void* registry, const BorrowKey* key) {
    if (key->start == key->end) return;
    auto& entries = *static_cast<Registry*>(registry);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        Entry& e = entries[i];
        if (!same_range(e.key, *key)) continue;
        if (e.count > 1) {
            --e.count;
        } else {
            e = entries.back();
            entries.pop_back();
        }
        return;
    }
}

const BorrowRegistryApi* g_api = nullptr;

// Finds the registry another module (or an earlier load) published on
// NumPy's core module, or publishes this module's own.
const BorrowRegistryApi* registry_api() {
    if (g_api != nullptr) return g_api;
    PyObject* core = numpy_core();
    if (PyObject* existing = PyObject_GetAttrString(core, kCapsuleName)) {
        if (PyCapsule_IsValid(existing, kCapsuleName)) {
            auto* api = static_cast<const BorrowRegistryApi*>(PyCapsule_GetPointer(existing, kCapsuleName));
            if (api != nullptr && api->version >= 1) g_api = api;
        }
        Py_DECREF(existing);
    }
    PyErr_Clear();
    if (g_api != nullptr) return g_api;
    static Registry* own_registry = new Registry();
    static BorrowRegistryApi own{1, own_registry, acquire_shared, acquire_exclusive, release};
    if (PyObject* capsule = PyCapsule_New(&own, kCapsuleName, nullptr)) {
        if (PyObject_SetAttrString(core, kCapsuleName, capsule) < 0) PyErr_Clear();
        Py_DECREF(capsule);
    }
    PyErr_Clear();
    g_api = &own;
    return g_api;
}

}  // namespace

void SharedBorrow::acquire(PyObject* array) {
    const BorrowRegistryApi* api = registry_api();
    BorrowKey key{};
    const int status = api->acquire_shared(api->registry, array, &key);
    if (status == kBorrowConflict) panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
    if (status != kBorrowOk) throw std::bad_alloc();
    Py_INCREF(array);
    array_ = array;
    key_ = key;
}

void SharedBorrow::reset() {
    if (array_ == nullptr) return;
    g_api->release(g_api->registry, &key_);
    Py_CLEAR(array_);
}

}  // namespace zelmo::py
