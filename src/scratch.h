// scratch.h - owned scratch arrays for the kernels.
//
// Kernels allocate with malloc (so a failed allocation is a null pointer, never
// an exception crossing an extern "C" boundary) and free on every path through
// the owning pointer's destructor.
#ifndef VORNIK_SCRATCH_H
#define VORNIK_SCRATCH_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace vornik {

struct free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

template <class T> using scratch = std::unique_ptr<T[], free_deleter>;

// Allocates count elements of T, or returns null when the byte count exceeds
// the largest object (PTRDIFF_MAX bytes) or malloc fails. A zero count still
// yields a distinct block.
template <class T> scratch<T> alloc_scratch(uint64_t count) {
    if (count > static_cast<uint64_t>(PTRDIFF_MAX) / sizeof(T)) return scratch<T>();
    size_t bytes = static_cast<size_t>(count) * sizeof(T);
    return scratch<T>(static_cast<T *>(std::malloc(bytes ? bytes : 1)));
}

} // namespace vornik

#endif // VORNIK_SCRATCH_H
