// caller_ids.h - ids read from buffers the caller owns.
//
// The interpreter lock is released while a kernel runs, so another thread may
// rewrite an id buffer in the middle of a call. A kernel that indexes memory
// with such an id therefore reads it once, as a relaxed atomic load (a plain
// load on every target: the compiler may not read it a second time), and
// checks that value before it uses it. An id found out of range there is
// skipped: the result of such a call is unspecified, but no access leaves
// the kernel's buffers.
#ifndef VORNIK_CALLER_IDS_H
#define VORNIK_CALLER_IDS_H

#include <cstdint>

namespace vornik {

inline int32_t load_id(const int32_t *at) {
    return __atomic_load_n(at, __ATOMIC_RELAXED);
}

// Whether id indexes one of n rows: one unsigned comparison, which also
// refuses every negative id (-1, none, among them).
// n is not negative.
inline bool id_below(int32_t id, int n) {
    return static_cast<uint32_t>(id) < static_cast<uint32_t>(n);
}

// Whether every one of count ids is -1 (an empty slot) or indexes one of n
// rows: the up-front check of a list of neighbours.
inline bool ids_below_or_empty(const int32_t *ids, uint64_t count, int n) {
    for (uint64_t e = 0; e < count; ++e) {
        const int32_t id = load_id(&ids[e]);
        if (id != -1 && !id_below(id, n)) return false;
    }
    return true;
}

} // namespace vornik

#endif // VORNIK_CALLER_IDS_H
