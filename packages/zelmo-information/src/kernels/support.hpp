// Plain C++ building blocks shared by every kernel and measure: read-only
// sample views, owned zero-initialised buffers, the invariant-failure
// exception and the saturating float-to-index conversion. Nothing here knows
// about Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#if defined(__linux__)
#include <sys/mman.h>
#endif
#include <limits>
#include <new>
#include <source_location>
#include <string>
#include <utility>

namespace zelmo {

// A read-only view of contiguous doubles (pointer and length).
struct Span {
    const double* data = nullptr;
    std::size_t len = 0;

    Span first(std::size_t n) const { return Span{data, n < len ? n : len}; }
};

// A read-only two-dimensional array of doubles addressed through byte
// strides, which may be negative, zero or unaligned: element (i, j) is read
// from data + i * row_stride + j * col_stride.
struct StridedMatrix {
    const char* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    double at(std::size_t i, std::size_t j) const {
        double v;
        std::memcpy(&v,
                    data + static_cast<std::ptrdiff_t>(i) * row_stride +
                        static_cast<std::ptrdiff_t>(j) * col_stride,
                    sizeof v);
        return v;
    }
};

// A broken internal invariant. The module turns it into PanicException after
// writing the message and the location to standard error.
struct Panic {
    std::string message;
    std::source_location where;
};

[[noreturn]] inline void panic(std::string message,
                               std::source_location where = std::source_location::current()) {
    throw Panic{std::move(message), where};
}

[[noreturn]] inline void panic_index(std::uint64_t len, std::uint64_t index,
                                     std::source_location where = std::source_location::current()) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index),
          where);
}

[[noreturn]] inline void panic_capacity(std::source_location where = std::source_location::current()) {
    panic("capacity overflow", where);
}

// Largest element count of a table of 8-byte cells whose byte size stays
// within 2^63 - 8: n_bins of 2^60 or more overflows.
inline constexpr std::uint64_t kMaxCells = (std::uint64_t{1} << 60) - 1;

// Checks that `cells` 8-byte counters fit the address space.
inline void check_capacity(std::uint64_t cells,
                           std::source_location where = std::source_location::current()) {
    if (cells > kMaxCells) panic_capacity(where);
}

// cells = side * side for a dense square table of 8-byte cells, with
// "capacity overflow" when the product or its byte size overflows.
inline std::uint64_t square_cells(std::uint64_t side,
                                  std::source_location where = std::source_location::current()) {
    if (side >= (std::uint64_t{1} << 32)) panic_capacity(where);
    const std::uint64_t cells = side * side;
    check_capacity(cells, where);
    return cells;
}

// An owned array of trivially copyable T. Up to 1 KiB lives inside the
// object (small tables cost no allocation); larger arrays come from the heap,
// zeroed ones from calloc, so a large table costs only the pages that are
// written. An allocation that cannot be satisfied throws std::bad_alloc
// (MemoryError).
template <class T>
class Buffer {
public:
    Buffer() = default;
    static Buffer zeroed(std::size_t n) { return Buffer(n, true); }
    static Buffer uninitialised(std::size_t n) { return Buffer(n, false); }

    Buffer(Buffer&& other) noexcept { take(other); }
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    T* data() { return ptr_; }
    const T* data() const { return ptr_; }
    std::size_t size() const { return len_; }
    T& operator[](std::size_t i) { return ptr_[i]; }
    const T& operator[](std::size_t i) const { return ptr_[i]; }
    T* begin() { return ptr_; }
    T* end() { return ptr_ + len_; }
    const T* begin() const { return ptr_; }
    const T* end() const { return ptr_ + len_; }

private:
    static constexpr std::size_t kInline = 1024 / sizeof(T);

    Buffer(std::size_t n, bool zero) : len_(n) {
        if (n <= kInline) {
            ptr_ = local_;
            if (zero) std::memset(local_, 0, n * sizeof(T));
            return;
        }
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        ptr_ = static_cast<T*>(zero ? std::calloc(n, sizeof(T)) : std::malloc(n * sizeof(T)));
        if (ptr_ == nullptr) throw std::bad_alloc();
    }

    void take(Buffer& other) noexcept {
        len_ = std::exchange(other.len_, 0);
        if (other.ptr_ == other.local_) {
            std::memcpy(local_, other.local_, len_ * sizeof(T));
            ptr_ = local_;
        } else {
            ptr_ = other.ptr_;
        }
        other.ptr_ = nullptr;
    }

    void release() noexcept {
        if (ptr_ != local_) std::free(ptr_);
        ptr_ = nullptr;
        len_ = 0;
    }

    T* ptr_ = nullptr;
    std::size_t len_ = 0;
    T local_[kInline];
};

// Asks the kernel to back [data, data + bytes) with huge pages where it
// can (Linux; nothing elsewhere): a large buffer about to be written whole
// then costs a few hundred page faults instead of one per 4 KiB.
inline void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kPage = 4096;
    if (bytes < (std::size_t{8} << 20)) return;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

using Counts = Buffer<std::uint64_t>;

// Calls f(i, counts[i]) for every nonzero count of counts[0 .. n), in
// ascending order of i, passing over empty cells eight at a time: tables
// with many more cells than samples are mostly empty.
template <class F>
inline void for_each_occupied(const std::uint64_t* counts, std::size_t n, F f) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t* c = counts + i;
        if ((c[0] | c[1] | c[2] | c[3] | c[4] | c[5] | c[6] | c[7]) == 0) continue;
        for (std::size_t k = 0; k < 8; ++k) {
            if (c[k] != 0) f(i + k, c[k]);
        }
    }
    for (; i < n; ++i) {
        if (counts[i] != 0) f(i, counts[i]);
    }
}

// Truncation toward zero into an unsigned 64-bit integer with saturation:
// NaN, zero and negative values give 0, values of 2^64 or more give 2^64 - 1.
inline std::uint64_t saturating_u64(double t) {
    if (!(t > 0.0)) return 0;
    if (t >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(t);
}

// A sample whose range is below this is treated as constant. An ordered
// comparison: a NaN range is never below it.
inline constexpr double kConstantRange = 1e-12;

}  // namespace zelmo
