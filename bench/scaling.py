"""Scaling benchmark: the time of a fit on 8, 16 and 32 threads, projected from runs on 1 and 2.

On datasets.make_scale (1,000,000 x 32 by default), in fresh processes:

1. Fits with n_jobs = each of --threads, timing every stage (UMAP.timings_)
   and within the stages the kernels: the forest tree by tree and the
   refinement iteration by iteration (from the kNN kernel's progress count),
   the layout kernel. The first fit keeps the layout's inputs (in
   bench/.cache) for the traces.
2. Traced layouts (mirnak_umap_layout_parts_traced, through ctypes) with each
   of --parts parts on each of --threads threads: the time of every ticket
   (a part's gradients, a block of the reduction), its processor time and
   the wait before it.

Projection, for T threads:

- Layout: every substep's parts are list-scheduled onto T threads in ticket
  order (each ticket goes to the thread that comes free first, as the
  kernel's ticket counter hands them out), with the processor times of the
  one-thread trace; then its reduction blocks the same way; each of the two
  phase changes of a substep costs the median handover measured in the
  two-thread trace (from the end of a phase's last ticket to the start of the
  next phase's first); plus the preparation (schedule, edge copy), serial.
  Traces of fewer epochs than the fit (--epochs) are scaled to the fit's
  epochs: the substeps' tickets grow with the epochs, the preparation not.
  The two-thread projection beside the two-thread measurement checks the
  model where it can be checked here.
- Forest: its unit of parallel work is a tree worker (one per tree), so its
  trees' one-thread times are list-scheduled onto T threads.
- Refinement (with the merge of the trees' heaps, which precedes the first
  iteration): each iteration's time on 1 and 2 threads gives a serial part s
  and a parallel part p (t1 = s + p, t2 = s + p / 2), projected as s + p / T.
- Fuzzy graph and every host stage's remainder outside the kernels: the same
  two-point fit (Amdahl's law), stage by stage.

The projection assumes that every thread of a bigger machine runs as fast as
the one thread measured here: memory bandwidth, a shared cache and a second
hardware thread per core make real machines slower than that, so the figures
are upper bounds to check with --threads on the machine itself, which prints
the measured times beside the projected ones.

    python bench/scaling.py                            # 1,000,000 x 32 on 1 and 2 threads
    python bench/scaling.py --n 100000 --parts 2 8 16 32 --repeat 3
    python bench/scaling.py --threads 1 2 8 16 32      # on a big machine: measured and projected
    python bench/scaling.py --layout-only --epochs 50  # traces only, on cached inputs
    python bench/scaling.py --n 100000 --against DIR --parts 2 4 8 --repeat 3

--against DIR runs the fit's layout (untraced, on the cached inputs, 2
threads unless --threads says otherwise) of this build with its own parts
rule and with each of --parts parts, and of the build installed in DIR (pip
install --target DIR) with its own rule, alternately, each run in a fresh
process: wall and processor time, min and median, and each against DIR's.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).parent
sys.path.insert(0, str(HERE))
CACHE = HERE / ".cache"
N_NEIGHBORS = 15
PROJECT = (1, 2, 8, 16, 32)


# ---------------------------------------------------------------------------
# Children: one fit, one traced layout
# ---------------------------------------------------------------------------


def layout_cache(n: int) -> Path:
    return CACHE / f"scaling-{n}.npz"


def fit_child(n: int, threads: int) -> dict:
    """Fits make_scale(n) on `threads` threads, timing stages and kernels."""
    from datasets import make_scale

    from brembolt.vornik import UMAP
    from brembolt.vornik import _control

    x, _ = make_scale(n)
    kernels, plain_run = [], _control.run
    cache = layout_cache(n)

    def timed_run(kernel, args, **kw):
        control = {}
        if kw.get("desc") == "layout" and not cache.exists():
            embedding, head, tail, eps, n_rows, dim, *run = args[:13]
            CACHE.mkdir(exist_ok=True)
            np.savez(cache, embedding=embedding, head=head, tail=tail, eps=eps,
                     run=np.array(run, dtype=object),
                     in_schedule_order=kernel.__name__.endswith("schedule_order"))
        ticks, done = [], threading.Event()
        t0 = time.perf_counter()

        def watch(progress):  # the kernel's progress count as it moves
            last = 0
            while not done.wait(0.0005):
                v = int(progress[0])
                if v != last:
                    ticks.append((time.perf_counter() - t0, v))
                    last = v

        def with_watch(*a):
            progress = a[-1]
            watcher = threading.Thread(target=watch, args=(progress,), daemon=True)
            watcher.start()
            try:
                return kernel(*a)
            finally:
                done.set()
                watcher.join()
                control["end"] = time.perf_counter() - t0
                control["final"] = int(progress[0])

        status = plain_run(with_watch, args, **kw)
        kernels.append({"desc": kw.get("desc"), "seconds": control["end"], "ticks": ticks,
                        "final": control["final"]})
        return status

    _control.run = timed_run
    model = UMAP(n_neighbors=N_NEIGHBORS, random_state=0, n_jobs=threads)
    t0 = time.perf_counter()
    model.fit(x)
    total = time.perf_counter() - t0
    from brembolt.vornik import _pipeline as pl

    knn = pl.default_knn_settings(n, x.shape[1], N_NEIGHBORS - 1)
    return {"threads": threads, "stages": dict(model.timings_), "total": total,
            "kernels": kernels, "n_trees": knn.n_trees, "load": os.getloadavg()}


class Edges(ctypes.Structure):
    _fields_ = [("head", ctypes.c_void_p), ("tail", ctypes.c_void_p),
                ("n_edges", ctypes.c_int64), ("epochs_per_sample", ctypes.c_void_p)]


class Run(ctypes.Structure):
    _fields_ = [("n_epochs", ctypes.c_int), ("a", ctypes.c_float), ("b", ctypes.c_float),
                ("gamma", ctypes.c_float), ("initial_alpha", ctypes.c_float),
                ("negative_sample_rate", ctypes.c_float), ("seed", ctypes.c_uint64)]


class Parts(ctypes.Structure):
    _fields_ = [("n_parts", ctypes.c_int), ("n_substeps", ctypes.c_int),
                ("n_threads", ctypes.c_int), ("in_schedule_order", ctypes.c_int)]


class Trace(ctypes.Structure):
    _fields_ = [("tickets", ctypes.c_void_p), ("capacity", ctypes.c_int64),
                ("n_tickets", ctypes.c_int64), ("n_parts", ctypes.c_int32),
                ("n_blocks", ctypes.c_int32), ("n_substeps", ctypes.c_int32),
                ("n_threads", ctypes.c_int32), ("prepare_ns", ctypes.c_int64),
                ("run_ns", ctypes.c_int64)]


TICKET = np.dtype([("start", np.int64), ("end", np.int64), ("wait", np.int64),
                   ("cpu", np.int64), ("thread", np.int32)], align=True)


def trace_child(n: int, parts: int, threads: int, epochs: int, out: str) -> dict:
    """One traced layout on the cached inputs; the tickets go to out (.npy)."""
    import _native_vornik

    lib = ctypes.CDLL(_native_vornik.__file__)
    fn = lib.mirnak_umap_layout_parts_traced
    fn.restype = ctypes.c_int
    d = np.load(layout_cache(n), allow_pickle=True)
    embedding = np.ascontiguousarray(d["embedding"], np.float32)
    head, tail, eps = (np.ascontiguousarray(d[k]) for k in ("head", "tail", "eps"))
    n_epochs, a, b, gamma, alpha, rate, seed = d["run"]
    run = Run(epochs or int(n_epochs), a, b, gamma, alpha, rate, int(seed))
    edges = Edges(head.ctypes.data, tail.ctypes.data, head.size, eps.ctypes.data)
    plan = Parts(parts, 0, threads, int(d["in_schedule_order"]))
    trace = Trace()
    args = (embedding.ctypes.data_as(ctypes.c_void_p), ctypes.c_int(embedding.shape[0]),
            ctypes.c_int(embedding.shape[1]), ctypes.byref(edges), ctypes.byref(run),
            ctypes.byref(plan), ctypes.byref(trace))
    fn(*args)  # asks for the size
    tickets = np.zeros(max(trace.n_tickets, 1), TICKET)
    trace.tickets, trace.capacity = tickets.ctypes.data, tickets.size
    t0 = time.perf_counter()
    status = fn(*args)
    wall = time.perf_counter() - t0
    assert status == 0, status
    np.save(out, tickets[:trace.n_tickets])
    return {"parts": trace.n_parts, "blocks": trace.n_blocks, "substeps": trace.n_substeps,
            "threads": trace.n_threads, "prepare_s": trace.prepare_ns / 1e9,
            "run_s": trace.run_ns / 1e9, "wall_s": wall, "epochs": run.n_epochs,
            "load": os.getloadavg()}


def own_parts(n_edges: int) -> int:
    """The parts the installed build's fit gives a layout of n_edges edges."""
    from brembolt.vornik import _pipeline as pl

    rule = getattr(pl, "layout_parts", None)
    return rule(n_edges) if rule else pl.LAYOUT_PARTS  # builds of one fixed count


def layout_child(n: int, parts: int, threads: int, epochs: int) -> dict:
    """The fit's layout kernel, untraced, on the cached inputs (parts 0: the build's rule)."""
    import resource

    import _native_vornik as nv

    d = np.load(layout_cache(n), allow_pickle=True)
    embedding = np.ascontiguousarray(d["embedding"], np.float32)
    head, tail, eps = (np.ascontiguousarray(d[k]) for k in ("head", "tail", "eps"))
    n_epochs, a, b, gamma, alpha, rate, seed = d["run"]
    P = parts or own_parts(head.size)
    kernel = (nv.umap_layout_euclidean_f32_parts_in_schedule_order if d["in_schedule_order"]
              else nv.umap_layout_euclidean_f32_parts)
    ru0 = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.perf_counter()
    status = kernel(embedding, head, tail, eps, embedding.shape[0], embedding.shape[1],
                    epochs or int(n_epochs), float(a), float(b), float(gamma), float(alpha),
                    float(rate), int(seed), P, 0, threads, None)
    wall = time.perf_counter() - t0
    ru1 = resource.getrusage(resource.RUSAGE_SELF)
    assert status == 0, status
    cpu = (ru1.ru_utime + ru1.ru_stime) - (ru0.ru_utime + ru0.ru_stime)
    return {"parts": P, "wall_s": wall, "cpu_s": cpu, "load": os.getloadavg()}


def against(args) -> None:
    """This build's fit layout (its rule and each of --parts) and DIR's, alternately."""
    T = args.threads[0] if args.threads != [1, 2] else 2
    settings = [("this", 0, None)] + [("this", P, None) for P in args.parts or []]
    settings.append(("other", 0, args.against))
    runs = {s: [] for s in settings}
    for rep in range(args.repeat):
        for s in settings:
            env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
            if s[2]:
                env["PYTHONPATH"] = os.pathsep.join(filter(None, [s[2], env.get("PYTHONPATH")]))
            cmd = [sys.executable, os.path.abspath(__file__), "--n", str(args.n),
                   "--child-layout", str(s[1]), str(T), str(args.epochs)]
            r = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
            info = json.loads(r.stdout.strip().splitlines()[-1])
            runs[s].append(info)
            print(f"{s[0]:<5} P={info['parts']:<3} run {rep + 1}: wall {info['wall_s']:7.2f} s, "
                  f"cpu {info['cpu_s']:7.2f} s; load {info['load'][0]:.2f}", flush=True)
    ref = runs[settings[-1]]
    ref_w = [r["wall_s"] for r in ref]
    ref_c = [r["cpu_s"] for r in ref]
    print(f"\n{args.n:,} points, {T} threads, {args.repeat} runs each (min / median):")
    for s in settings:
        w = [r["wall_s"] for r in runs[s]]
        c = [r["cpu_s"] for r in runs[s]]
        name = f"{s[0]} P={runs[s][0]['parts']}" + (" (rule)" if s[1] == 0 else "")
        print(f"  {name:<18} wall {min(w):7.2f} / {statistics.median(w):7.2f} s, "
              f"cpu {min(c):7.2f} / {statistics.median(c):7.2f} s; against {args.against}: "
              f"wall {min(w) / min(ref_w):.3f} / {statistics.median(w) / statistics.median(ref_w):.3f}, "
              f"cpu {min(c) / min(ref_c):.3f} / {statistics.median(c) / statistics.median(ref_c):.3f}")


# ---------------------------------------------------------------------------
# Projection
# ---------------------------------------------------------------------------


def list_schedule(durations: np.ndarray, T: int) -> float:
    """Makespan of the durations handed out in order, each to the first thread to come free."""
    if T == 1 or len(durations) <= 1:
        return float(durations.sum())
    free = np.zeros(min(T, len(durations)))
    for d in durations:
        i = int(free.argmin())
        free[i] += d
    return float(free.max())


def phases(tickets: np.ndarray, parts: int, blocks: int, field: str):
    """Per substep, the parts' and the blocks' durations (seconds) as two arrays of rows."""
    per = parts + blocks
    if field == "wall":
        d = (tickets["end"] - tickets["start"]) / 1e9
    else:
        d = tickets["cpu"] / 1e9
    d = d.reshape(-1, per)
    return d[:, :parts], d[:, parts:]


def handover(tickets: np.ndarray, parts: int, blocks: int) -> float:
    """Median gap from the end of a phase's last ticket to the start of the next phase's first."""
    per = parts + blocks
    t = tickets.reshape(-1, per)
    part_end, red_start = t["end"][:, :parts].max(1), t["start"][:, parts:].min(1)
    red_end = t["end"][:, parts:].max(1)
    next_start = t["start"][1:, :parts].min(1)
    gaps = np.concatenate([red_start - part_end, next_start - red_end[:-1]])
    return float(np.median(np.maximum(gaps, 0))) / 1e9


def project_layout(tickets, info, T: int, h: float, field: str = "cpu") -> float:
    part_d, red_d = phases(tickets, info["parts"], info["blocks"], field)
    if T == 1:
        return info["prepare_s"] + float(part_d.sum() + red_d.sum())
    total = sum(list_schedule(p, T) + list_schedule(r, T) for p, r in zip(part_d, red_d))
    return info["prepare_s"] + total + 2 * h * len(part_d)


def kernel_of(fit: dict, desc: str) -> dict | None:
    return next((k for k in fit["kernels"] if k["desc"] == desc), None)


def knn_pieces(k: dict, n_trees: int):
    """Tree durations and iteration durations (the first with the merge) from a kNN kernel's ticks."""
    marks, last = [0.0], 0
    for when, value in k["ticks"]:
        marks += [when] * (value - last)  # ticks seen together share their time
        last = value
    marks += [k["seconds"]] * (k["final"] - last)
    marks = np.array(marks)
    steps = np.diff(marks)
    return steps[:n_trees], steps[n_trees:]


def amdahl(t1: float, t2: float, T: int) -> float:
    """s + p / T from t1 = s + p and t2 = s + p / 2 (s and p kept non-negative)."""
    p = min(max(2.0 * (t1 - t2), 0.0), t1)
    return (t1 - p) + p / T


def project_fit(f1: dict, f2: dict, layout: dict[int, float]) -> dict[int, dict]:
    """Stage by stage times on T threads from fits on 1 and 2 threads and the layout projection."""
    out = {}
    trees1, iters1 = knn_pieces(kernel_of(f1, "nearest neighbours"), f1["n_trees"])
    _, iters2 = knn_pieces(kernel_of(f2, "nearest neighbours"), f2["n_trees"])
    for T in PROJECT:
        stages = {}
        for stage, t1 in f1["stages"].items():
            t2 = f2["stages"][stage]
            if stage == "nearest neighbours":
                k1, k2 = (kernel_of(f, "nearest neighbours")["seconds"] for f in (f1, f2))
                forest = list_schedule(trees1, T)
                refine = sum(amdahl(a, b, T) for a, b in zip(iters1, iters2))
                stages[stage] = amdahl(t1 - k1, t2 - k2, T) + forest + refine
            elif stage == "layout optimisation":
                k1, k2 = (kernel_of(f, "layout")["seconds"] for f in (f1, f2))
                stages[stage] = amdahl(t1 - k1, t2 - k2, T) + layout[T]
            else:
                stages[stage] = amdahl(t1, t2, T)
        out[T] = stages
    return out


# ---------------------------------------------------------------------------
# Parent
# ---------------------------------------------------------------------------


def child(args, *extra) -> dict:
    cmd = [sys.executable, os.path.abspath(__file__), "--n", str(args.n), *extra]
    r = subprocess.run(cmd, check=True, capture_output=True, text=True)
    return json.loads(r.stdout.strip().splitlines()[-1])


def best(runs: list[dict], key: str) -> dict:
    return min(runs, key=lambda r: r[key])


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1_000_000, help="points (default 1,000,000)")
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2],
                    help="threads to measure (1 and 2 are always among them)")
    ap.add_argument("--parts", type=int, nargs="+",
                    help="layout parts to trace besides the fit's (default: 2)")
    ap.add_argument("--repeat", type=int, default=1, help="runs of each setting, alternating")
    ap.add_argument("--epochs", type=int, default=0, help="epochs of the traces (0: the fit's)")
    ap.add_argument("--layout-only", action="store_true",
                    help="traces only (the inputs must be cached by an earlier fit)")
    ap.add_argument("--json", help="write every figure to this file")
    ap.add_argument("--against", metavar="DIR",
                    help="time the fit's layout against the build installed in DIR")
    ap.add_argument("--child-fit", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--child-trace", type=int, nargs=3, help=argparse.SUPPRESS)
    ap.add_argument("--child-layout", type=int, nargs=3, help=argparse.SUPPRESS)
    ap.add_argument("--out", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child_layout is not None:
        print(json.dumps(layout_child(args.n, *args.child_layout)))
        return
    if args.against:
        against(args)
        return
    if args.child_fit is not None:
        print(json.dumps(fit_child(args.n, args.child_fit)))
        return
    if args.child_trace is not None:
        P, T, E = args.child_trace
        print(json.dumps(trace_child(args.n, P, T, E, args.out)))
        return

    threads = sorted(set(args.threads) | {1, 2})
    print(f"== {args.n:,} x 32, threads {threads}, {os.cpu_count()} processors, "
          f"load {' '.join(f'{v:.2f}' for v in os.getloadavg())}", flush=True)
    fits = {T: [] for T in threads}
    if not args.layout_only:
        for rep in range(args.repeat):
            for T in threads:
                f = child(args, "--child-fit", str(T))
                fits[T].append(f)
                print(f"fit on {T} threads: {f['total']:.1f} s ("
                      + ", ".join(f"{k} {v:.1f}" for k, v in f["stages"].items())
                      + f"); load {f['load'][0]:.2f}", flush=True)
    from brembolt.vornik import _pipeline as pl

    d = np.load(layout_cache(args.n), allow_pickle=True)
    rule = pl.layout_parts(int(d["head"].size))
    parts = sorted(set(args.parts or [2]) | {rule})
    print(f"layout: {d['head'].size:,} edges; the fit's parts: {rule}", flush=True)
    traces = {}
    with tempfile.TemporaryDirectory() as tmp:
        for rep in range(args.repeat):
            for P in parts:
                for T in threads:
                    out = os.path.join(tmp, f"t-{P}-{T}-{rep}.npy")
                    info = child(args, "--child-trace", str(P), str(T), str(args.epochs),
                                 "--out", out)
                    info["tickets"] = np.load(out)
                    traces.setdefault((P, T), []).append(info)
                    print(f"traced P={P} T={T}: {info['run_s']:.2f} s "
                          f"(+{info['prepare_s']:.2f} s preparing); load {info['load'][0]:.2f}",
                          flush=True)
    report = {"n": args.n, "threads": threads, "layout": {}, "fit": {}}
    fit_epochs = int(d["run"][0])
    for P in parts:
        one = best(traces[(P, 1)], "run_s")
        two = best(traces[(P, 2)], "run_s")
        h = handover(two["tickets"], P, two["blocks"])
        work = one["tickets"]["cpu"].sum() / 1e9
        part_d, red_d = phases(one["tickets"], P, one["blocks"], "cpu")
        proj = {T: project_layout(one["tickets"], one, T, h) for T in sorted(set(PROJECT) | set(threads))}
        waits = {T: best(traces[(P, T)], "run_s")["tickets"]["wait"].sum() / 1e9 / T
                 for T in threads}
        print(f"\nP={P}: {one['substeps']} substeps x {one['epochs']} epochs, "
              f"{one['blocks']} reduction blocks; one thread: parts {part_d.sum():.2f} s, "
              f"reduction {red_d.sum():.2f} s (processor time), preparing {one['prepare_s']:.2f} s; "
              f"handover {h * 1e6:.1f} us")
        print(f"  part time within a substep: max / mean {np.mean(part_d.max(1) / np.maximum(part_d.mean(1), 1e-12)):.2f}")
        # The fit's epochs: the substeps' tickets scale with the epochs, the preparation not.
        k = fit_epochs / one["epochs"]
        at_fit = {T: one["prepare_s"] + k * (proj[T] - one["prepare_s"]) for T in proj}
        print(f"  T   measured   projected  speed-up   at the fit's {fit_epochs} epochs: "
              "projected  speed-up   wait per thread")
        for T in sorted(proj):
            meas = [t["run_s"] + t["prepare_s"] for t in traces.get((P, T), [])]
            m = f"{min(meas):8.2f} s" if meas else "         -"
            w = f"{waits[T]:.2f} s" if T in waits else "-"
            print(f"  {T:<3} {m}  {proj[T]:8.2f} s  {proj[1] / proj[T]:6.1f}x"
                  f"{'':22}{at_fit[T]:8.2f} s  {at_fit[1] / at_fit[T]:6.1f}x   {w}")
        report["layout"][P] = {"projected": proj, "at_fit_epochs": at_fit, "handover_s": h,
                               "work_s": work,
                               "measured": {T: [t["run_s"] + t["prepare_s"] for t in traces[(P, T)]]
                                            for T in threads}}
    if not args.layout_only:
        f1, f2 = best(fits[1], "total"), best(fits[2], "total")
        layout = report["layout"][rule]["projected"]
        scale = kernel_of(f1, "layout")["seconds"] / layout[1]  # the fit's epochs against the trace's
        proj = project_fit(f1, f2, {T: layout[T] * scale for T in layout})
        trees, iters = knn_pieces(kernel_of(f1, "nearest neighbours"), f1["n_trees"])
        print(f"\nfit (P={rule}): forest {trees.sum():.2f} s in {len(trees)} trees, "
              f"refinement {iters.sum():.2f} s in {len(iters)} iterations on one thread")
        names = list(f1["stages"])
        print("  T   " + "  ".join(f"{s[:12]:>12}" for s in names) + "         total  speed-up")
        for T in PROJECT:
            row = proj[T]
            total = sum(row.values())
            meas = [f["total"] for f in fits.get(T, [])]
            m = f"  (measured {min(meas):.1f} s)" if meas else ""
            print(f"  {T:<3} " + "  ".join(f"{row[s]:12.2f}" for s in names)
                  + f"  {total:10.2f} s {sum(proj[1].values()) / total:6.1f}x{m}")
        report["fit"] = {"projected": proj, "fits": fits}
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=1, default=float))


if __name__ == "__main__":
    main()
