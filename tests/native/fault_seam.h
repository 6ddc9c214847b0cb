// fault_seam.h - failure injection for the kernels' malloc and pthread_create.
//
// The fault test binary links with -Wl,--wrap=malloc,--wrap=free,
// --wrap=pthread_create, so every call the kernels make goes through the
// interposers in fault_seam.cpp. They count while a fault_scope is alive and
// fail the calls it names; outside a scope they pass straight through.
#ifndef VORNIK_FAULT_SEAM_H
#define VORNIK_FAULT_SEAM_H

struct fault_plan {
    long malloc_fail_at = -1;  // 0-based index of the malloc call that returns null
    long thread_fail_at = -1;  // first pthread_create call that fails (EAGAIN)
    long thread_fail_count = 0; // how many consecutive creations fail from there (-1: all)
};

// Arms the interposers for its lifetime. Only one scope may be alive at once.
class fault_scope {
  public:
    explicit fault_scope(const fault_plan &plan);
    ~fault_scope();
    fault_scope(const fault_scope &) = delete;
    fault_scope &operator=(const fault_scope &) = delete;

    long malloc_calls() const;  // malloc calls seen so far, failed ones included
    long live_blocks() const;   // successful mallocs minus frees of non-null pointers
    long thread_calls() const;  // pthread_create calls seen so far
    long threads_failed() const;
};

// Threads of this process (entries of /proc/self/task), to check that a
// kernel left none behind.
int live_threads();

#endif // VORNIK_FAULT_SEAM_H
