// fault_seam.cpp - the interposers behind fault_scope (see fault_seam.h).
#include "fault_seam.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <dirent.h>
#include <pthread.h>

extern "C" {
void *__real_malloc(size_t size);
void __real_free(void *p);
int __real_pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                          void *(*start)(void *), void *arg);
}

namespace {

std::atomic<bool> armed{false};
std::atomic<long> malloc_count{0};
std::atomic<long> live_count{0};
std::atomic<long> thread_count{0};
std::atomic<long> thread_fail_count{0};
fault_plan active_plan;

bool thread_call_fails(long index) {
    const fault_plan &p = active_plan;
    if (p.thread_fail_at < 0 || index < p.thread_fail_at) return false;
    return p.thread_fail_count < 0 || index < p.thread_fail_at + p.thread_fail_count;
}

} // namespace

extern "C" void *__wrap_malloc(size_t size) {
    if (!armed.load()) return __real_malloc(size);
    const long index = malloc_count.fetch_add(1);
    if (index == active_plan.malloc_fail_at) return nullptr;
    void *p = __real_malloc(size);
    if (p) live_count.fetch_add(1);
    return p;
}

extern "C" void __wrap_free(void *p) {
    if (p && armed.load()) live_count.fetch_sub(1);
    __real_free(p);
}

extern "C" int __wrap_pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                                     void *(*start)(void *), void *arg) {
    if (armed.load()) {
        const long index = thread_count.fetch_add(1);
        if (thread_call_fails(index)) {
            thread_fail_count.fetch_add(1);
            return EAGAIN;
        }
    }
    return __real_pthread_create(thread, attr, start, arg);
}

fault_scope::fault_scope(const fault_plan &plan) {
    active_plan = plan;
    malloc_count = 0;
    live_count = 0;
    thread_count = 0;
    thread_fail_count = 0;
    armed = true;
}

fault_scope::~fault_scope() { armed = false; }

long fault_scope::malloc_calls() const { return malloc_count.load(); }
long fault_scope::live_blocks() const { return live_count.load(); }
long fault_scope::thread_calls() const { return thread_count.load(); }
long fault_scope::threads_failed() const { return thread_fail_count.load(); }

int live_threads() {
    DIR *dir = opendir("/proc/self/task");
    if (!dir) return -1;
    int count = 0;
    while (const dirent *e = readdir(dir)) count += e->d_name[0] != '.';
    closedir(dir);
    return count;
}
