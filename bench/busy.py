"""The default n_jobs against n_jobs=1, on an idle machine and beside busy processes.

Fits UMAP with the default parameters (random_state 0) on the first 100
handwritten digits and on 2,000 and 100,000 points of the 32-dimensional scale
set (datasets.make_scale),
each fit in a fresh process, the settings alternating; prints each setting's
minimum and median wall time of the fit and whether every setting gave the
same embedding (it must: n_jobs changes speed only). With --busy N the
benchmark starts N copies of `yes > /dev/null` (each keeps a processor busy)
for the busy half and stops them afterwards.

    python bench/busy.py                       # idle, then one competitor
    python bench/busy.py --sizes 100 2000 --reps 9 --busy 1
    python bench/busy.py --jobs -1 1 2         # other n_jobs values
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))


def data(n: int):
    """The first n handwritten digits (n <= 1,797), else n points of the scale set."""
    import numpy as np

    if n <= 1797:
        from sklearn.datasets import load_digits

        return load_digits().data[:n].astype(np.float32)
    from datasets import make_scale

    return make_scale(n)[0]


def child(n: int, jobs: int) -> None:
    from brembolt.vornik import UMAP

    x = data(n)
    start = time.perf_counter()
    y = UMAP(n_jobs=jobs, random_state=0).fit_transform(x)
    wall = time.perf_counter() - start
    print(json.dumps({"wall": wall, "md5": hashlib.md5(y.tobytes()).hexdigest()}))


def timed(n: int, jobs: int) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", str(n), str(jobs)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def measure(n: int, jobs: list[int], reps: int) -> None:
    runs = {j: [] for j in jobs}
    for _ in range(reps):
        for j in jobs:
            runs[j].append(timed(n, j))
    digests = {r["md5"] for rs in runs.values() for r in rs}
    base = statistics.median(r["wall"] for r in runs[1]) if 1 in runs else None
    for j in jobs:
        walls = [r["wall"] for r in runs[j]]
        ratio = f"  ({statistics.median(walls) / base:.2f}x n_jobs=1)" if base else ""
        print(f"  n={n:<7} n_jobs={j:<3} min {min(walls):7.3f} s  median "
              f"{statistics.median(walls):7.3f} s{ratio}", flush=True)
    print(f"  n={n:<7} {'one embedding' if len(digests) == 1 else 'EMBEDDINGS DIFFER'}",
          flush=True)


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[100, 2000, 100_000])
    ap.add_argument("--jobs", type=int, nargs="+", default=[-1, 1])
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--busy", type=int, nargs="+", default=[0, 1],
                    help="competing busy processes of each half")
    ap.add_argument("--child", nargs=2, type=int, help=argparse.SUPPRESS)
    a = ap.parse_args(argv)
    if a.child:
        return child(*a.child)
    for busy in a.busy:
        hogs = [subprocess.Popen(["yes"], stdout=subprocess.DEVNULL) for _ in range(busy)]
        try:
            print(f"== {busy} competing busy processes (load {os.getloadavg()[0]:.2f})",
                  flush=True)
            for n in a.sizes:
                measure(n, a.jobs, a.reps)
        finally:
            for hog in hogs:
                hog.kill()
                hog.wait()


if __name__ == "__main__":
    main()
