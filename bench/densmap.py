"""densMAP benchmark: do sizes in the embedding follow density in the data, and at what cost?

On two data sets, "spreads" (three Gaussian clusters in 10 dimensions with
standard deviations 1, 3 and 9, --per points each) and the digits, it fits the
plain layout and densmap=True in alternating fresh processes (--reps each) and
prints per variant:
  - the Pearson correlation of log local radius between data and embedding
    (each point's local radius: the root of its membership-weighted mean
    squared distance to its neighbours in graph_, the same definition for both
    variants; target for densmap: >= 0.6);
  - trustworthiness at 15 neighbours (target: densmap at most 0.01 below plain);
  - the fit's time, min and median (target: densmap's median <= 1.5x plain's);
  - for spreads, the median embedding radius of each cluster.

    python bench/densmap.py
    python bench/densmap.py --data spreads --reps 7 --strength 0.5 1 2
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))

SETS = ("spreads", "digits")


def spreads(per: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    c = np.repeat(np.arange(3), per)
    centres = np.zeros((3, 10))
    centres[1, 0], centres[2, 1] = 60.0, 120.0
    sd = np.array([1.0, 3.0, 9.0])[c]
    return centres[c] + rng.normal(size=(3 * per, 10)) * sd[:, None], c


def load_set(name: str, per: int):
    if name == "spreads":
        return spreads(per)
    from datasets import load
    return load(name)


def one_fit(name: str, per: int, strength: float | None) -> dict:
    """A fit in this process: time, log-radius correlation, trustworthiness, cluster sizes."""
    from brembolt.vornik import UMAP, local_radii, trustworthiness
    from brembolt.vornik._density import log_correlation

    x, labels = load_set(name, per)
    params = {} if strength is None else {"densmap": True, "density_strength": strength}
    start = time.perf_counter()
    model = UMAP(random_state=42, **params).fit(x)
    seconds = time.perf_counter() - start
    data, emb = local_radii(model)
    sizes = [float(np.median(emb[labels == k])) for k in range(3)] if name == "spreads" else []
    return {"seconds": seconds, "corr": log_correlation(data, emb),
            "trust": float(trustworthiness(x, model.embedding_)), "sizes": sizes,
            "layout": model.timings_["layout optimisation"]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", nargs="+", default=list(SETS))
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--per", type=int, default=3000, help="points per cluster of spreads")
    parser.add_argument("--strength", type=float, nargs="+", default=[0.5],
                        help="density_strength values to run beside the plain layout")
    parser.add_argument("--one", nargs=2, help=argparse.SUPPRESS)  # worker: set, strength|plain
    args = parser.parse_args()
    if args.one:
        name, strength = args.one
        print(json.dumps(one_fit(name, args.per, None if strength == "plain" else float(strength))))
        return

    for name in args.data:
        variants = ["plain"] + [str(s) for s in args.strength]
        runs = {v: [] for v in variants}
        for _ in range(args.reps):  # alternating, each fit in a fresh process
            for v in variants:
                out = subprocess.run([sys.executable, __file__, "--one", name, v, "--per",
                                      str(args.per)], check=True, capture_output=True, text=True)
                runs[v].append(json.loads(out.stdout.strip().splitlines()[-1]))
        plain_median = statistics.median(r["seconds"] for r in runs["plain"])
        plain_trust = runs["plain"][0]["trust"]
        print(f"{name}: {args.reps} fits per variant, alternating fresh processes")
        for v in variants:
            r = runs[v]
            secs = [x["seconds"] for x in r]
            med = statistics.median(secs)
            label = "plain layout" if v == "plain" else f"densmap, strength {v}"
            sizes = (" cluster radii " + ", ".join(f"{s:.3f}" for s in r[0]["sizes"])
                     if r[0]["sizes"] else "")
            print(f"  {label:<24} log-radius correlation {r[0]['corr']:.3f}  trustworthiness "
                  f"{r[0]['trust']:.4f} ({r[0]['trust'] - plain_trust:+.4f})  fit min "
                  f"{min(secs):.2f} s median {med:.2f} s ({med / plain_median:.2f}x plain)"
                  f"{sizes}")


if __name__ == "__main__":
    main()
