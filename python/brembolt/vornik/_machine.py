"""What the machine offers the kernels: threads for n_jobs, idle processors, BLAS threads.

None of this changes a result: the kernels' bits do not depend on the thread
count. It decides how fast they come on a machine shared with other work.
"""

from __future__ import annotations

import os
import time
import warnings
from contextlib import nullcontext

from joblib import effective_n_jobs
from sklearn.utils.validation import _num_samples
from threadpoolctl import threadpool_limits

from ._params import INT_MAX

# Work on fewer rows than this is short enough for one look at the machine's
# load, when it starts, to tell how busy it will be throughout.
SHORT_WORK_ROWS = 50_000


def threads(n_jobs, n_rows: int = 0) -> int:
    """n_jobs as scikit-learn means it, as a thread count for the kernels.

    For short work (n_rows below SHORT_WORK_ROWS), no more than the processors
    that other running threads leave idle: the results do not depend on the
    thread count, and on a busy machine a thread that must wait for a
    processor only holds up its partner. Longer work keeps every thread: a
    busy moment at its start says little about the rest of it.
    """
    with warnings.catch_warnings():
        # joblib counts one job inside a Dask worker and says so; the kernels'
        # threads are not joblib's processes, and one is what the worker has.
        warnings.filterwarnings("ignore", "Inside a Dask worker", UserWarning)
        wanted = int(min(effective_n_jobs(n_jobs), INT_MAX))
    if wanted == 1 or n_rows >= SHORT_WORK_ROWS:
        return wanted
    idle = idle_processors()
    return wanted if idle is None else max(1, min(wanted, idle))


def idle_processors(samples: int = 3) -> int | None:
    """Processors not taken by other processes' running threads, or None when unknown.

    Linux's count of running threads less this process's own (BLAS threads
    may still spin after a call), the least of a few looks 1 ms apart.
    """
    others = None
    try:
        for look in range(samples):
            if look:
                time.sleep(0.001)
            count = running_threads() - own_running_threads()
            others = count if others is None else min(others, count)
    except (OSError, ValueError, IndexError):
        return None
    return (os.cpu_count() or 1) - max(0, others)


def running_threads() -> int:
    with open("/proc/stat", encoding="ascii") as stat:
        for line in stat:
            if line.startswith("procs_running"):
                return int(line.split()[1])
    raise ValueError("no procs_running in /proc/stat")


def own_running_threads() -> int:
    running = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/stat", encoding="ascii") as stat:
                # The state follows the parenthesised name, which may hold spaces.
                running += stat.read().rpartition(")")[2].split()[0] == "R"
        except FileNotFoundError:  # the thread has ended
            pass
    return running


# Below this many samples the fit's BLAS calls (exact neighbours, small
# eigenproblems) run on one thread: they gain nothing from more, and spinning
# BLAS threads cost several times the work itself when another process keeps
# a processor busy (100 points: 0.20 s against 0.04 s idle).
BLAS_SERIAL_BELOW = 20_000


def blas_threads_for(X):
    if _num_samples(X) < BLAS_SERIAL_BELOW:
        return threadpool_limits(limits=1, user_api="blas")
    return nullcontext()
