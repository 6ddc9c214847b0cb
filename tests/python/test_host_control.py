"""The host's long runs: progress, Ctrl-C, no half-fitted state, results independent of n_jobs."""

import _thread
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from brembolt.vornik import UMAP
from brembolt.vornik import _control
from brembolt.vornik import _machine as machine
from brembolt.vornik import _pipeline as pl


def clusters(n=900, d=12, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=6.0, size=(6, d))
    return (centres[rng.integers(0, 6, n)] + rng.normal(size=(n, d))).astype(np.float32)


def test_embedding_does_not_depend_on_n_jobs(monkeypatch):
    # Eight parts and a thread for every edge, so that every n_jobs here
    # really runs that many threads over the parts.
    monkeypatch.setattr(pl, "layout_parts", lambda n_edges: 8)
    monkeypatch.setattr(pl, "THREAD_EDGES", 1)
    monkeypatch.setattr(machine, "idle_processors", lambda: None)  # even on a busy machine
    x = clusters()
    runs = {j: UMAP(n_jobs=j, n_epochs=60, random_state=3).fit(x) for j in (1, 2, 3, 8)}
    for j in (2, 3, 8):
        np.testing.assert_array_equal(runs[j].knn_indices_, runs[1].knn_indices_)
        np.testing.assert_array_equal(runs[j].embedding_, runs[1].embedding_)


def test_run_raises_the_kernels_error_and_stops_it_on_interrupt():
    def failing(control):
        raise ValueError("bad buffer")

    with pytest.raises(ValueError, match="bad buffer"):
        _control.run(failing, (), total=1, desc="x", verbose=False)

    seen = {}

    def endless(control):
        while not control[1]:
            control[0] += 1
            time.sleep(0.001)
        seen["progress"] = int(control[0])
        return _control.STOPPED

    threads = threading.active_count()
    threading.Timer(0.2, _thread.interrupt_main).start()
    with pytest.raises(KeyboardInterrupt):
        _control.run(endless, (), total=10**9, desc="x", verbose=False)
    assert seen["progress"] > 0  # it ran, saw the stop and returned before run re-raised
    time.sleep(0.05)  # the timer thread's own exit
    assert threading.active_count() == threads


def test_a_failed_fit_leaves_the_estimator_as_it_was(monkeypatch):
    x = clusters(n=300)
    fresh = UMAP(n_epochs=5)
    fitted = UMAP(n_epochs=5, random_state=0).fit(x)
    before = fitted.embedding_.copy()

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(pl, "optimize_layout", interrupted)
    for model in (fresh, fitted):
        with pytest.raises(KeyboardInterrupt):
            model.fit(x[:, :5])
    assert not [name for name in vars(fresh) if name.endswith("_")]
    assert fitted.n_features_in_ == x.shape[1]
    np.testing.assert_array_equal(fitted.embedding_, before)


def test_verbose_shows_progress_to_the_end(capsys):
    UMAP(n_epochs=40, verbose=True, random_state=0).fit(clusters(n=2_000))
    err = capsys.readouterr().err
    assert "nearest neighbours" in err and "layout" in err
    assert "40/40" in err and "100%" in err


CHILD = """
import sys, threading, numpy as np
from brembolt.vornik import UMAP
x = np.random.default_rng(0).normal(size=(3000, 8)).astype(np.float32)
model = UMAP(n_epochs=100000, init="random", random_state=0)
print("fitting", flush=True)
try:
    model.fit(x)
except KeyboardInterrupt:
    fitted = [name for name in vars(model) if name.endswith("_")]
    print("interrupted", threading.active_count(), fitted, flush=True)
"""


def test_ctrl_c_stops_a_fit_promptly():
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, PYTHONUNBUFFERED="1"))
    try:
        assert child.stdout.readline().strip() == "fitting"
        time.sleep(1.5)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, _ = child.communicate(timeout=30)
        elapsed = time.monotonic() - sent
    finally:
        child.kill()
    assert out.strip() == "interrupted 1 []"
    assert elapsed < 3.0


TRANSFORM_CHILD = """
import threading, numpy as np
from brembolt.vornik import UMAP
x = np.random.default_rng(0).normal(size=(2000, 8)).astype(np.float32)
model = UMAP(n_epochs=20, random_state=0).fit(x)
before = model.transform(x[:5] + 0.01)  # builds the search index
model.set_params(transform_epochs=100000)
print("transforming", flush=True)
try:
    model.transform(x + 0.01)
except KeyboardInterrupt:
    model.set_params(transform_epochs=30)
    same = bool((model.transform(x[:5] + 0.01) == before).all())
    print("interrupted", threading.active_count(), same, flush=True)
"""


def test_ctrl_c_stops_a_transform_promptly_and_leaves_the_model_as_it_was():
    child = subprocess.Popen([sys.executable, "-c", TRANSFORM_CHILD], stdout=subprocess.PIPE,
                             text=True, env=dict(os.environ, PYTHONUNBUFFERED="1"))
    try:
        assert child.stdout.readline().strip() == "transforming"
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        interrupted = child.stdout.readline().strip()
        elapsed = time.monotonic() - sent
        child.communicate(timeout=30)
    finally:
        child.kill()
    assert interrupted == "interrupted 1 True"
    assert elapsed < 2.0  # the stop itself takes well under 0.1 s; the rest is a small transform


def test_verbose_transform_shows_its_progress(capsys):
    model = UMAP(n_epochs=20, random_state=0).fit(clusters(n=600))
    model.set_params(verbose=True).transform(clusters(n=50, seed=1))
    err = capsys.readouterr().err
    assert "new points: neighbours" in err and "new points: layout" in err and "50/50" in err


def test_threads_stop_at_the_idle_processors(monkeypatch):
    assert machine.idle_processors() <= os.cpu_count()  # this thread is running
    monkeypatch.setattr(machine, "idle_processors", lambda: 1)
    assert machine.threads(4) == 1
    monkeypatch.setattr(machine, "idle_processors", lambda: -3)
    assert machine.threads(4) == 1
    monkeypatch.setattr(machine, "idle_processors", lambda: None)
    assert machine.threads(4) == 4 and machine.threads(None) == 1
    monkeypatch.setattr(machine, "idle_processors", lambda: 1)
    assert machine.threads(4, machine.SHORT_WORK_ROWS) == 4  # long work keeps its threads
