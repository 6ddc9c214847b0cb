"""Threads against parts: the layout on an idle and on a busy machine.

Fuzzy graphs of 15 neighbours, cached in bench/.cache: the first 100 and all
1,797 handwritten digits (built by the module's own kNN and graph kernels; 500
epochs, as the host runs up to 10,000 points), and the graphs of
bench/layout.py (200 epochs): 100,000 random-geometric vertices by default,
and on request its 50,000-vertex clustered graph and a 1,000,000-vertex
random-geometric graph (whose first build takes some minutes). Every run
happens in a fresh child process; the runs of a graph alternate between the
settings, and each setting's minimum and median wall time are printed:

  serial        umap_layout_euclidean_f32_parts with 1 part (the serial optimiser)
  P=p T=t       umap_layout_euclidean_f32_parts with p parts on t threads
  barrier T=2   umap_layout_euclidean_f32 with 2 threads (the barrier optimiser)

    python bench/layout_threads.py                 # idle, then with one competitor
    python bench/layout_threads.py --busy 0 --reps 7 --graphs digits
    python bench/layout_threads.py --substeps 1 4 0   # substep counts (0: default)

With --busy N the benchmark starts N copies of `yes > /dev/null` (processes
that keep a processor busy) for the busy half and stops them afterwards.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, ".cache")
K = 15
A, B, GAMMA, ALPHA, RATE, SEED = 1.577, 0.895, 1.0, 1.0, 5.0, 42


def fuzzy_graph(x, seed=1):
    """Host-like edge list of points x: kNN, fuzzy graph, weights to epochs_per_sample."""
    import _native_vornik as nv

    n, d = x.shape
    idx = np.empty((n, K - 1), np.int32)
    dist = np.empty((n, K - 1), np.float32)
    assert nv.knn_descent_f32(x, idx, dist, n, d, K - 1, 4, 10, 3, 24, 1) == 0
    order = np.argsort(dist, axis=1)
    idx = np.take_along_axis(idx, order, 1)
    dist = np.sqrt(np.take_along_axis(dist, order, 1))
    idx = np.ascontiguousarray(np.hstack([np.arange(n, dtype=np.int32)[:, None], idx]))
    dist = np.ascontiguousarray(np.hstack([np.zeros((n, 1), np.float32), dist]), np.float32)
    rows = np.zeros(2 * n * K, np.int32)
    cols = np.zeros_like(rows)
    vals = np.zeros(2 * n * K, np.float32)
    nv.umap_graph_f32(idx, dist, rows, cols, vals, n, K)
    keep = vals > vals.max() / 500.0
    eps = (vals[keep].max() / vals[keep]).astype(np.float32)
    emb = np.random.default_rng(seed).uniform(-10, 10, (n, 2)).astype(np.float32)
    return rows[keep], cols[keep], eps, emb


LAYOUT_GRAPHS = {"geometric100k": (100000, "geometric"), "clustered50k": (50000, "clustered"),
                 "geometric1m": (1000000, "geometric")}


def graph_path(name):
    """The cached graph of a name (see EPOCHS)."""
    if name in LAYOUT_GRAPHS:
        sys.path.insert(0, HERE)
        import layout

        return layout.build_graph(*LAYOUT_GRAPHS[name])
    os.makedirs(CACHE, exist_ok=True)
    path = os.path.join(CACHE, f"threads_{name}.npz")
    if os.path.exists(path):
        return path
    from sklearn.datasets import load_digits

    x = load_digits().data.astype(np.float32)
    x = np.ascontiguousarray(x[:100] if name == "digits100" else x)
    head, tail, eps, emb = fuzzy_graph(x)
    np.savez(path, head=head, tail=tail, eps=eps, emb=emb)
    return path


EPOCHS = {"digits100": 500, "digits": 500, "geometric100k": 200, "clustered50k": 200,
          "geometric1m": 200}


def child(path, setting, epochs, substeps):
    import _native_vornik as nv

    g = np.load(path)
    head, tail, eps, emb = g["head"], g["tail"], g["eps"], g["emb"].copy()
    n = emb.shape[0]
    args = (emb, head, tail, eps, n, 2, epochs, A, B, GAMMA, ALPHA, RATE, SEED)
    t0 = time.perf_counter()
    if setting == "barrier":
        rc = nv.umap_layout_euclidean_f32(*args, 2)
    else:
        parts, threads = (int(v) for v in setting.split("x"))
        rc = nv.umap_layout_euclidean_f32_parts(*args, parts, substeps, threads, None)
    wall = time.perf_counter() - t0
    print(json.dumps({"rc": rc, "wall": wall, "finite": bool(np.isfinite(emb).all())}))


def timed(path, setting, epochs, substeps):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    if setting == "barrier" and substeps:
        env["MIRNAK_UMAP_SUBSTEPS"] = str(substeps)
    else:
        env.pop("MIRNAK_UMAP_SUBSTEPS", None)
    out = subprocess.run(
        [sys.executable, __file__, "--child", path, setting, str(epochs), str(substeps)],
        env=env, check=True, capture_output=True, text=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def label(setting):
    if setting == "barrier":
        return "barrier T=2"
    parts, threads = setting.split("x")
    return "serial" if parts == "1" else f"P={parts} T={threads}"


def measure(name, settings, reps, substeps):
    path = graph_path(name)
    with np.load(path) as g:
        n, m = g["emb"].shape[0], g["head"].size
    epochs = EPOCHS[name]
    walls = {s: [] for s in settings}
    for _ in range(reps):
        for s in settings:
            r = timed(path, s, epochs, substeps)
            if not r["finite"]:
                raise SystemExit(f"{name} {s}: non-finite embedding")
            walls[s].append(r["wall"])
    step = f"substeps {substeps}" if substeps else "default substeps"
    print(f"{name}: {n} vertices, {m} edges, {epochs} epochs, {step}")
    for s in settings:
        w = walls[s]
        print(f"  {label(s):<12} min {min(w):8.3f} s  median {statistics.median(w):8.3f} s")
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--graphs", nargs="+", default=["digits100", "digits", "geometric100k"],
                    choices=sorted(EPOCHS))
    ap.add_argument("--settings", nargs="+", default=["1x1", "2x1", "2x2", "4x2", "barrier"],
                    help="PxT for P parts on T threads, or barrier")
    ap.add_argument("--substeps", type=int, nargs="+", default=[0])
    ap.add_argument("--epochs", type=int, help="epochs of every graph (default: per graph)")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--busy", type=int, nargs="+", default=[0, 1],
                    help="competing busy processes for each half of the runs")
    ap.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.child:
        child(a.child[0], a.child[1], int(a.child[2]), int(a.child[3]))
        return
    print(f"cpus online: {os.cpu_count()}, usable: {len(os.sched_getaffinity(0))}")
    for busy in a.busy:
        competitors = [subprocess.Popen(["yes"], stdout=subprocess.DEVNULL) for _ in range(busy)]
        try:
            print(f"== {busy} competing busy process{'es' if busy != 1 else ''}")
            for name in a.graphs:
                if a.epochs:
                    EPOCHS[name] = a.epochs
                for s in a.substeps:
                    measure(name, a.settings, a.reps, s)
        finally:
            for p in competitors:
                p.kill()
                p.wait()


if __name__ == "__main__":
    main()
