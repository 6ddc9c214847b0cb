"""The quality measures on 50,000 points: time and peak memory of knn_accuracy and trustworthiness.

Each measure runs in a fresh process (so that its peak RSS is its own), the
runs alternating between measures, and the script prints the best and the
median time and the largest peak RSS over --repeat runs. The data: 20
Gaussian clusters in 32 dimensions and, as the embedding, their first two
coordinates with noise (a 2-D layout of the same clusters).

    python bench/quality.py                      # 50,000 points, 3 runs each
    python bench/quality.py --n 100000 --repeat 5 --measures knn trust
    python bench/quality.py --limit-gib 8        # a measure that needs more fails as MemoryError

Measures: knn (knn_accuracy at 10 neighbours), trust (trustworthiness at 15
neighbours with its default sampling), exact (trustworthiness of every row,
sample=None).
"""

from __future__ import annotations

import argparse
import json
import resource
import statistics
import subprocess
import sys
import time

import numpy as np

MEASURES = ("knn", "trust", "exact")


def make(n: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, 20, n)
    centres = rng.normal(scale=6.0, size=(20, 32))
    x = centres[labels] + rng.normal(size=(n, 32))
    embedding = (x[:, :2] + rng.normal(scale=0.5, size=(n, 2))).astype(np.float32)
    return x.astype(np.float32), embedding, labels


def measure(name: str, n: int, limit_gib: float) -> dict:
    """One run in this process: seconds, value and peak RSS."""
    if limit_gib:
        limit = int(limit_gib * 2**30)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    from brembolt.vornik import knn_accuracy, trustworthiness

    x, embedding, labels = make(n)
    calls = {"knn": lambda: knn_accuracy(embedding, labels, 10),
             "trust": lambda: trustworthiness(x, embedding, 15),
             "exact": lambda: trustworthiness(x, embedding, 15, sample=None)}
    start = time.perf_counter()
    try:
        value = calls[name]()
    except MemoryError as exc:
        value = f"MemoryError: {str(exc)[:80]}"
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20  # KiB -> GiB
    return {"seconds": seconds, "value": value, "peak_gib": peak}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=50_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--measures", nargs="+", choices=MEASURES, default=["knn", "trust"])
    parser.add_argument("--limit-gib", type=float, default=8.0,
                        help="address-space limit of each run (0: none); default 8")
    parser.add_argument("--one", choices=MEASURES, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(measure(args.one, args.n, args.limit_gib)))
        return
    runs = {m: [] for m in args.measures}
    for _ in range(args.repeat):
        for m in args.measures:
            out = subprocess.run([sys.executable, __file__, "--one", m, "--n", str(args.n),
                                  "--limit-gib", str(args.limit_gib)],
                                 capture_output=True, text=True, check=True)
            runs[m].append(json.loads(out.stdout))
    print(f"{args.n} points, {args.repeat} runs each")
    for m, results in runs.items():
        times = [r["seconds"] for r in results]
        print(f"  {m:<6} best {min(times):8.3f} s  median {statistics.median(times):8.3f} s  "
              f"peak RSS {max(r['peak_gib'] for r in results):6.2f} GiB  value {results[0]['value']}")


if __name__ == "__main__":
    main()
