"""Scale benchmark: a million points (or ten million) fitted with the defaults.

The data is datasets.make_scale: 1,000,000 x 32 points in 50 clusters of a
10-dimensional subspace, generated block by block from a fixed seed. Every
run is a fresh process that generates the data, fits UMAP with the default
parameters on --threads threads and prints the time of every stage
(UMAP.timings_), the total, the peak RSS of the process at the end of the fit
(generation included: about 0.13 GB per million points) and the load average
(the machine may be shared). The first run also prints the trustworthiness
at 15 neighbours on a 5,000-point sample, and with --plot the time
plot_embedding takes to draw the embedding. With --memory it also prints the
peak RSS within each stage (sampled every 50 ms). With --repeat the runs
alternate and a summary gives the minimum and median of each figure.

    python bench/scale.py                          # 1,000,000 x 32, 2 threads
    python bench/scale.py --repeat 3 --plot /tmp/scale.png
    python bench/scale.py --ten-million --no-trust
    python bench/scale.py --no-trust --memory                      # where the memory goes
    python bench/scale.py --trees 2 --leaf 24 --iters 10 --recall   # other forest settings
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
from datasets import make_scale  # noqa: E402

TRUST_SAMPLE = 5000
N_NEIGHBORS = 15


def peak_rss_gib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20


class RssSampler:
    """The process's resident set size every `every` seconds, on a daemon thread."""

    def __init__(self, every=0.05):
        self.samples, self._stop = [], threading.Event()
        self._thread = threading.Thread(target=self._run, args=(every,), daemon=True)
        self._thread.start()

    def _run(self, every):
        while not self._stop.wait(every):
            with open("/proc/self/statm") as f:
                pages = int(f.read().split()[1])
            self.samples.append((time.perf_counter(), pages * os.sysconf("SC_PAGE_SIZE") / 2**30))

    def stage_peaks(self, start, timings):
        """The largest sample within each stage, the stages timed one after another from start."""
        self._stop.set()
        self._thread.join()
        peaks, t = {}, start
        for stage, seconds in timings.items():
            inside = [rss for when, rss in self.samples if t <= when < t + seconds]
            peaks[stage] = max(inside) if inside else None
            t += seconds
        return peaks


def recall_on_sample(x, knn_idx, sample, seed=0):
    """Share of the exact n_neighbors - 1 nearest that the fit's kNN rows hold, on sampled rows."""
    from brembolt.vornik import exact_neighbours

    queries = np.sort(np.random.default_rng(seed).choice(len(x), sample, replace=False))
    truth, _ = exact_neighbours(x, knn_idx.shape[1] - 1, queries)
    found = knn_idx[queries, 1:]
    hits = sum(np.intersect1d(f, t).size for f, t in zip(found, truth))
    return hits / truth.size


def one_run(args) -> dict:
    """One fit in this process; returns the figures as a dict."""
    from brembolt.vornik import UMAP, trustworthiness
    from brembolt.vornik import _pipeline as pl

    t0 = time.perf_counter()
    x, labels = make_scale(args.n)
    generate_s = time.perf_counter() - t0
    if args.trees or args.leaf or args.iters:
        default = pl.default_knn_settings

        def settings(n, d, k):
            s = default(n, d, k)
            return pl.KnnSettings(args.trees or s.n_trees, args.iters or s.n_iters,
                                  max(args.leaf or s.leaf_size, k + 1))

        pl.default_knn_settings = settings
    model = UMAP(n_neighbors=N_NEIGHBORS, random_state=args.seed, n_jobs=args.threads)
    sampler = RssSampler() if args.memory else None
    t0 = time.perf_counter()
    y = model.fit_transform(x)
    total = time.perf_counter() - t0
    out = {"stages": dict(model.timings_), "total": total, "peak_rss_gib": peak_rss_gib(),
           "generate_s": generate_s, "load": os.getloadavg(),
           "knn": pl.default_knn_settings(args.n, x.shape[1], N_NEIGHBORS - 1).__dict__,
           "edges": int(model.graph_.nnz)}
    if sampler:
        out["stage_rss_gib"] = sampler.stage_peaks(t0, model.timings_)
    if args.embedding:
        np.save(args.embedding, y)
    if args.plot:
        from brembolt.vornik.plot import plot_embedding

        t0 = time.perf_counter()
        plot_embedding(y, args.plot, labels=labels, title=f"{args.n:,} points")
        out["plot_s"] = time.perf_counter() - t0
    if args.trust:
        t0 = time.perf_counter()
        out["trust"] = trustworthiness(x, y, N_NEIGHBORS, sample=TRUST_SAMPLE)
        out["trust_s"] = time.perf_counter() - t0
    if args.recall and args.trust:
        out["recall"] = recall_on_sample(x, model.knn_indices_, TRUST_SAMPLE)
    return out


def report(r: dict) -> None:
    stages = ", ".join(f"{k} {v:.2f}" for k, v in r["stages"].items())
    extra = ""
    if "trust" in r:
        extra += f", trustworthiness {r['trust']:.4f} ({r['trust_s']:.0f} s)"
    if "recall" in r:
        extra += f", kNN recall {r['recall']:.4f}"
    if "plot_s" in r:
        extra += f", plot {r['plot_s']:.2f} s"
    print(f"total {r['total']:.1f} s ({stages}); peak RSS {r['peak_rss_gib']:.2f} GiB; "
          f"load {' '.join(f'{v:.2f}' for v in r['load'])}{extra}", flush=True)
    if "stage_rss_gib" in r:
        print("  peak RSS by stage: " + ", ".join(
            f"{k} {v:.2f} GiB" for k, v in r["stage_rss_gib"].items() if v is not None))


def summary(runs: list[dict]) -> None:
    def line(name, values, unit):
        print(f"  {name:<22} min {min(values):8.2f} {unit}  median {statistics.median(values):8.2f} {unit}")

    print(f"summary of {len(runs)} runs:")
    for stage in runs[0]["stages"]:
        line(stage, [r["stages"][stage] for r in runs], "s")
    line("total", [r["total"] for r in runs], "s")
    line("peak RSS", [r["peak_rss_gib"] for r in runs], "GiB")
    if all("plot_s" in r for r in runs):
        line("plot", [r["plot_s"] for r in runs], "s")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1_000_000, help="points (default 1,000,000)")
    ap.add_argument("--ten-million", action="store_const", const=10_000_000, dest="n",
                    help="fit 10,000,000 points")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--seed", type=int, default=0, help="random_state of the fit")
    ap.add_argument("--repeat", type=int, default=1, help="fits, each in a fresh process")
    ap.add_argument("--no-trust", dest="trust", action="store_false",
                    help="skip the quality figures (trustworthiness, recall)")
    ap.add_argument("--recall", action="store_true", help="kNN recall on the sample too")
    ap.add_argument("--plot", help="also time plot_embedding, writing this file")
    ap.add_argument("--embedding", help="save the embedding (.npy)")
    ap.add_argument("--memory", action="store_true", help="peak RSS within each stage")
    ap.add_argument("--trees", type=int, help="forest settings instead of the defaults")
    ap.add_argument("--leaf", type=int)
    ap.add_argument("--iters", type=int)
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        print(json.dumps(one_run(args)))
        return

    print(f"== {args.n:,} x 32, {args.threads} threads, seed {args.seed}, "
          f"{os.cpu_count()} processors, load {' '.join(f'{v:.2f}' for v in os.getloadavg())}",
          flush=True)
    runs = []
    for rep in range(args.repeat):
        cmd = [sys.executable, os.path.abspath(__file__), "--child", *(argv or sys.argv[1:])]
        if rep > 0:  # the quality is the same for the same seed
            cmd += ["--no-trust"]
        r = json.loads(subprocess.run(cmd, check=True, capture_output=True,
                                      text=True).stdout.strip().splitlines()[-1])
        if rep == 0:
            print(f"kNN settings {r['knn']}, {r['edges']:,} graph entries, "
                  f"data generated in {r['generate_s']:.1f} s")
        report(r)
        runs.append(r)
    if len(runs) > 1:
        summary(runs)


if __name__ == "__main__":
    main()
