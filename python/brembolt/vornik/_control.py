"""Long kernels on a worker thread, so that the main thread keeps control.

The kernels release the interpreter lock and poll a control block of two
int64 items (progress, stop). The main thread waits for the worker in short
slices, shows the progress, and on Ctrl-C sets the stop flag, waits for the
kernel to join its threads and re-raises the KeyboardInterrupt.

Every kernel returns an integer status, 0 for success; check_status turns
the others into exceptions.
"""

from __future__ import annotations

import contextlib
import sys
import threading

import numpy as np
from tqdm.auto import tqdm

INVALID = -1  # the kernel refused its arguments
OUT_OF_MEMORY = -2
STOPPED = -3  # the status of a kernel that was stopped through its block
REASONS = {INVALID: "invalid arguments", OUT_OF_MEMORY: "out of memory", STOPPED: "stopped"}
POLL_SECONDS = 0.1


class KernelError(RuntimeError):
    """A native kernel reported a failure status."""


def check_status(status: int, what: str, short_of: str | None = None) -> None:
    """Raises KernelError when the kernel `what` failed.

    Out of memory is a MemoryError where short_of says what could not be
    allocated. A kernel stopped by Ctrl-C never gets here: run raises the
    KeyboardInterrupt itself.
    """
    if status == 0:
        return
    if status == OUT_OF_MEMORY and short_of is not None:
        raise MemoryError(f"{short_of} could not be allocated")
    reason = REASONS.get(status, "unknown failure")
    raise KernelError(f"{what} failed with status {status} ({reason})")


def run(kernel, args, *, total: int, desc: str, verbose: bool, unit: str = "step"):
    """kernel(*args, control) on a worker thread; its status, or its exception raised here."""
    control = np.zeros(2, np.int64)
    outcome = {}
    # The main thread waits on an event, not on Thread.join: a join that Ctrl-C
    # interrupts may mark a running thread as finished.
    done = threading.Event()

    def work():
        try:
            outcome["status"] = kernel(*args, control)
        except BaseException as exc:  # handed to the main thread
            outcome["error"] = exc
        finally:
            done.set()

    worker = threading.Thread(target=work, name=f"vornik {desc}", daemon=True)
    with _bar(total, desc, unit, verbose) as bar:
        worker.start()
        try:
            while not done.wait(POLL_SECONDS):
                bar.update(int(control[0]) - bar.n)
        except KeyboardInterrupt:
            control[1] = 1
            _wait_through_interrupts(done, worker)
            raise
        bar.update(int(control[0]) - bar.n)
    worker.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["status"]


class _Bar(tqdm):
    monitor_interval = 0  # no monitor thread: the bar is updated every poll anyway


def _bar(total: int, desc: str, unit: str, verbose: bool):
    if not verbose:
        return contextlib.nullcontext(_NoBar())
    return _Bar(total=total, desc=desc, unit=f" {unit}", file=sys.stderr, dynamic_ncols=True)


class _NoBar:
    n = 0

    def update(self, count):
        pass


def _wait_through_interrupts(done: threading.Event, worker: threading.Thread) -> None:
    """Waits for a stopped kernel's thread even if Ctrl-C comes again: it ends within one poll."""
    while True:
        try:
            done.wait()
            worker.join()
            return
        except KeyboardInterrupt:
            pass
