// kernel_support.h - what the kNN search and the layout optimisers share
// beside their own arithmetic: the SplitMix64 generator, processor counts,
// the resolution of a requested thread count, and the division of a range
// into blocks for workers.
#ifndef VORNIK_KERNEL_SUPPORT_H
#define VORNIK_KERNEL_SUPPORT_H

#include <climits>
#include <cstdint>
#include <sched.h>
#include <unistd.h>

namespace vornik {

// ---------------------------------------------------------------------------
// SplitMix64
// ---------------------------------------------------------------------------

const uint64_t SPLITMIX64_GAMMA = 0x9E3779B97F4A7C15ULL;

// The output mix of a state that has already advanced.
inline uint64_t splitmix64_finish(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// The generator's output function applied to x as a pure mixer (no state).
inline uint64_t splitmix64_mix(uint64_t x) {
    return splitmix64_finish(x + SPLITMIX64_GAMMA);
}

// One step of the generator: the state advances, then the new state is mixed.
inline uint64_t splitmix64_next(uint64_t *state) {
    *state += SPLITMIX64_GAMMA;
    return splitmix64_finish(*state);
}

// ---------------------------------------------------------------------------
// Processors and thread counts
// ---------------------------------------------------------------------------

// Online processors of the machine, at least one.
inline int64_t online_cpus() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int64_t>(n) : 1;
}

// Processors the calling thread may run on: its affinity mask where the
// system tells it, else every online processor.
inline int64_t usable_cpus() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
#endif
    return online_cpus();
}

// A requested thread count as a worker count: the request when positive,
// else every online processor. Bounds for the work itself are the caller's.
inline int requested_threads(int n_threads) {
    if (n_threads > 0) return n_threads;
    const int64_t cpus = online_cpus();
    return cpus > INT_MAX ? INT_MAX : static_cast<int>(cpus);
}

// The most threads a kernel starts at once: a small multiple of the
// processors this process may run on, and never fewer than a handful. More
// would only add start-up time and memory; a request above the cap runs its
// workers on the capped number of threads.
const int THREADS_PER_CPU = 4;
const int MIN_THREAD_CAP = 8;

inline int thread_cap() {
    const int64_t cap = THREADS_PER_CPU * usable_cpus();
    if (cap < MIN_THREAD_CAP) return MIN_THREAD_CAP;
    return cap > INT_MAX ? INT_MAX : static_cast<int>(cap);
}

// ---------------------------------------------------------------------------
// Blocks
// ---------------------------------------------------------------------------

// Size of block e when total items are cut into parts contiguous ascending
// blocks that differ by at most one, the first (total mod parts) larger.
inline int block_size(int total, int parts, int e) {
    return total / parts + (e < total % parts ? 1 : 0);
}

// Block t of parts proportional blocks of [0, total): [t * total / parts,
// (t + 1) * total / parts). Blocks may be empty when parts exceeds total.
inline void proportional_block(uint64_t total, uint64_t parts, uint64_t t, uint64_t *lo,
                               uint64_t *hi) {
    *lo = t * total / parts;
    *hi = (t + 1) * total / parts;
}

} // namespace vornik

#endif // VORNIK_KERNEL_SUPPORT_H
