// control.h - the caller's control block as the kernels use it: a stop flag
// they poll and a progress count they advance, both through relaxed atomic
// accesses (the caller's thread reads and writes the same block while the
// kernel runs). A null block is never stopped and counts nothing.
#ifndef VORNIK_CONTROL_H
#define VORNIK_CONTROL_H

#include <cstdint>

#include "vornik_kernels.h"

namespace vornik {

inline bool stop_requested(const mirnak_control *ctl) {
    return ctl && __atomic_load_n(&ctl->stop, __ATOMIC_RELAXED) != 0;
}

inline void set_progress(mirnak_control *ctl, int64_t value) {
    if (ctl) __atomic_store_n(&ctl->progress, value, __ATOMIC_RELAXED);
}

inline void add_progress(mirnak_control *ctl, int64_t units) {
    if (ctl) __atomic_fetch_add(&ctl->progress, units, __ATOMIC_RELAXED);
}

} // namespace vornik

#endif // VORNIK_CONTROL_H
