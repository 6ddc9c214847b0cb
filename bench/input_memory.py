"""Peak memory of checking and preparing float64 input, against the input's own size.

Each run is a fresh process that generates float64 data block by block and
prints its size, the peak RSS after generating it, the peak RSS through
the fit (UMAP.fit, default parameters but --epochs) and the fit's excess over the data: what the input's
checks, preparation, search and layout add. With --stages it also prints the
peak RSS within each stage of the fit (sampled every 50 ms). With --repeat
the runs alternate and a summary gives the minimum and median.

  precomputed  --n x --n Euclidean distances of points in 10 clusters (float64)
  cosine       --n x --d rows of 10 clusters (float64)

    python bench/input_memory.py                            # precomputed, 20,000 x 20,000
    python bench/input_memory.py --kind cosine --n 1000000 --d 100 --stages
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys

from scale import RssSampler, peak_rss_gib  # noqa: E402 (bench/ is the script's directory)

BLOCK_ROWS = 1000


def make(kind: str, n: int, d: int):
    import numpy as np
    from scipy.spatial.distance import cdist

    rng = np.random.default_rng(0)
    centres = rng.normal(scale=5.0, size=(10, d))
    points = centres[rng.integers(0, 10, n)] + rng.normal(size=(n, d))
    if kind == "cosine":
        return points
    out = np.empty((n, n), np.float64)
    for lo in range(0, n, BLOCK_ROWS):
        out[lo:lo + BLOCK_ROWS] = cdist(points[lo:lo + BLOCK_ROWS], points)
    np.fill_diagonal(out, 0.0)
    return out


def one_run(args) -> dict:
    import time

    from brembolt.vornik import UMAP

    x = make(args.kind, args.n, args.d)
    data_gib, before = x.nbytes / 2**30, peak_rss_gib()
    sampler = RssSampler() if args.stages else None
    start = time.perf_counter()
    metric = "precomputed" if args.kind == "precomputed" else "cosine"
    model = UMAP(metric=metric, n_epochs=args.epochs, random_state=0).fit(x)
    total = time.perf_counter() - start
    peak = peak_rss_gib()
    result = {"data_gib": data_gib, "after_data_gib": before, "peak_gib": peak,
              "excess_gib": peak - data_gib, "fit_s": total}
    if sampler is not None:
        result["stages"] = sampler.stage_peaks(start, model.timings_)
    return result


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--kind", choices=("precomputed", "cosine"), default="precomputed")
    p.add_argument("--n", type=int, default=20_000)
    p.add_argument("--d", type=int, default=20, help="features (cosine), or of the points "
                   "whose distances are taken (precomputed)")
    p.add_argument("--epochs", type=int, default=10, help="layout epochs (the layout's memory "
                   "does not depend on them)")
    p.add_argument("--stages", action="store_true")
    p.add_argument("--repeat", type=int, default=1)
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        print(json.dumps(one_run(args)))
        return
    runs = []
    for i in range(args.repeat):
        out = subprocess.run([sys.executable, __file__, "--child", *sys.argv[1:]], check=True,
                             capture_output=True, text=True).stdout
        run = json.loads(out.strip().splitlines()[-1])
        runs.append(run)
        print(f"run {i + 1}: data {run['data_gib']:.2f} GiB, after generating it "
              f"{run['after_data_gib']:.2f}, peak through the fit {run['peak_gib']:.2f} GiB "
              f"(excess over the data {run['excess_gib']:.2f}), fit {run['fit_s']:.1f} s",
              flush=True)
        for stage, gib in run.get("stages", {}).items():
            print(f"    {stage:22s} {'-' if gib is None else f'{gib:.2f} GiB'}")
    if args.repeat > 1:
        for key in ("peak_gib", "excess_gib", "fit_s"):
            vals = [r[key] for r in runs]
            print(f"{key}: min {min(vals):.2f}, median {statistics.median(vals):.2f}")


if __name__ == "__main__":
    main()
