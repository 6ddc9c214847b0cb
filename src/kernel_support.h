// kernel_support.h - what the kernels share beside their own arithmetic: the
// SplitMix64 generator, processor counts, the number of threads a kernel
// starts and how it starts them, and the division of a range into blocks for
// workers.
#ifndef VORNIK_KERNEL_SUPPORT_H
#define VORNIK_KERNEL_SUPPORT_H

#include <climits>
#include <cstdint>
#include <pthread.h>
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

// Threads for work that splits into at most `units` independent pieces: the
// request (0 or less: every online processor), never above the cap, at most
// one per unit, at least one.
inline int worker_count(int n_threads, int64_t units) {
    int64_t threads = requested_threads(n_threads);
    const int cap = thread_cap();
    if (threads > cap) threads = cap;
    if (threads > units) threads = units;
    return threads < 1 ? 1 : static_cast<int>(threads);
}

// One pause of a polling loop: it tells the processor that the thread spins,
// which spares power and the other hardware thread of the core.
inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// ---------------------------------------------------------------------------
// Fan-out
// ---------------------------------------------------------------------------

// What the calling thread does in a fan-out besides starting threads.
enum class caller_role {
    waits,         // every record gets a thread of its own
    runs_last,     // the last record runs on the calling thread once the others are started
    runs_the_rest, // as runs_last, but the first thread that will not start ends the
                   // starting: its record and every later one run on the calling thread
};

// Runs entry(record_of(r)) for r = 0 ... count - 1, on threads of their own as
// role says, and joins every thread it started before it returns. A record
// whose thread will not start runs on the calling thread at once, before the
// next is tried: a thread that cannot be had costs time, never a record.
// handles: room for count thread handles.
template <class RecordOf>
void fan_out(int count, RecordOf record_of, void *(*entry)(void *), pthread_t *handles,
             caller_role role) {
    const int threaded = role == caller_role::waits ? count : count - 1;
    int started = 0, r = 0;
    while (r < threaded) {
        void *record = record_of(r++);
        if (pthread_create(&handles[started], nullptr, entry, record) == 0) {
            ++started;
            continue;
        }
        entry(record);
        if (role == caller_role::runs_the_rest) break;
    }
    while (r < count) entry(record_of(r++));
    for (int t = 0; t < started; ++t) pthread_join(handles[t], nullptr);
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
