"""Beyond one machine: a fit on a sample, then transform of the rest block by block on Dask.

On datasets.make_scale (10,000,000 x 32 by default), as one does past what a
machine fits well in one go:

1. Fits UMAP (the defaults, --threads threads) on the first --sample rows,
   which are a random sample: the set's rows are drawn independently.
2. Starts a dask.distributed LocalCluster of --workers worker processes with
   one thread each, sends the fitted model to every worker once
   (Client.scatter), and maps the remaining rows' blocks of --block rows onto
   them: each worker makes its block's rows where it is (a block's rows come
   from their own seeded stream, as data read where it lives would) and
   transforms them, timing both. One block's first rows are also transformed
   in this process: their bits must be the worker's.
3. Measures the quality of the whole embedding (sample and transformed rows):
   trustworthiness at 15 neighbours on a --trust-sample-point sample, and the
   accuracy of a 10-NN classifier of the cluster labels in the embedding (each
   of the same sample's points classified by its 10 nearest other points).
   With --full it fits all rows in one go too, for the same figures.

Projection on N workers of one processor each: the fit, the cluster's start
and the model's shipping as measured, plus the measured block times
list-scheduled onto N workers (each block to the first worker to come free).
The blocks are independent, so that is the time on a cluster of N machines
whose processors run like one of this machine's, once the data is where the
workers are; a worker with more threads transforms its blocks faster still.

The transform is the one of this commit; re-run the same command when it
changes.

    python bench/beyond.py                                    # 10,000,000, sample 1,000,000
    python bench/beyond.py --n 3000000 --sample 300000 1000000 --full
    python bench/beyond.py --n 200000 --sample 50000 --block 50000 --full   # a quick look
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).parent
sys.path.insert(0, str(HERE))
N_NEIGHBORS = 15
PROJECT = (1, 2, 8, 16, 32, 64)
CHECK_ROWS = 2_000


def transform_block(model, start: int, stop: int):
    """Runs on a worker: rows [start, stop) made and transformed; (embedding, seconds)."""
    from datasets import make_scale_rows

    t0 = time.perf_counter()
    x, _ = make_scale_rows(start, stop)
    t1 = time.perf_counter()
    y = model.transform(x)
    return y, t1 - t0, time.perf_counter() - t1, os.getpid()


def list_schedule(durations, n: int) -> float:
    free = np.zeros(max(1, min(n, len(durations))))
    for d in durations:
        free[free.argmin()] += d
    return float(free.max())


def quality(x, labels, y, sample: int) -> dict:
    """Trustworthiness on a sample and 10-NN label accuracy of the same sample's points."""
    from sklearn.neighbors import NearestNeighbors

    from brembolt.vornik import trustworthiness

    t0 = time.perf_counter()
    trust = trustworthiness(x, y, N_NEIGHBORS, sample=sample, random_state=0)
    q = np.random.default_rng(0).choice(len(y), size=sample, replace=False)
    nn = NearestNeighbors(n_neighbors=11).fit(y)
    _, ids = nn.kneighbors(y[q])
    hits = 0
    for row, i in zip(ids, q):
        others = row[row != i][:10]
        hits += np.bincount(labels[others]).argmax() == labels[i]
    return {"trust": float(trust), "knn_accuracy": hits / sample,
            "seconds": time.perf_counter() - t0}


def fit(x, threads: int):
    from brembolt.vornik import UMAP

    model = UMAP(n_neighbors=N_NEIGHBORS, random_state=0, n_jobs=threads)
    t0 = time.perf_counter()
    model.fit(x)
    return model, time.perf_counter() - t0


def sample_run(args, x, labels, s: int) -> dict:
    import beyond  # the workers find the block function under this name
    from distributed import Client, LocalCluster

    model, fit_s = fit(x[:s], args.threads)
    print(f"sample {s:,}: fit {fit_s:.1f} s ("
          + ", ".join(f"{k} {v:.1f}" for k, v in model.timings_.items()) + ")", flush=True)
    model.set_params(n_jobs=1)  # one thread per worker; threads change no bit
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [str(HERE)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    logging.getLogger("distributed").setLevel(logging.ERROR)  # nannies' notes on shutdown
    blocks = [(lo, min(args.n, lo + args.block)) for lo in range(s, args.n, args.block)]
    t0 = time.perf_counter()
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        start_s = time.perf_counter() - t0
        t0 = time.perf_counter()
        shipped = client.scatter(model, broadcast=True)
        ship_s = time.perf_counter() - t0
        t0 = time.perf_counter()
        futures = [client.submit(beyond.transform_block, shipped, lo, hi, pure=False)
                   for lo, hi in blocks]
        y = np.empty((args.n, model.embedding_.shape[1]), np.float32)
        y[:s] = model.embedding_
        make, place, pids = [], [], set()
        for (lo, hi), f in zip(blocks, futures):
            part, make_s, place_s, pid = f.result()
            y[lo:hi] = part
            make.append(make_s)
            place.append(place_s)
            pids.add(pid)
            f.release()
        transform_s = time.perf_counter() - t0
    lo = blocks[0][0]
    same = bool(np.array_equal(model.transform(x[lo:lo + CHECK_ROWS]).view(np.uint32),
                               y[lo:lo + CHECK_ROWS].view(np.uint32)))
    fixed = fit_s + start_s + ship_s
    projected = {N: fixed + list_schedule(np.add(make, place), N) for N in PROJECT}
    out = {"sample": s, "fit_s": fit_s, "stages": dict(model.timings_), "start_s": start_s,
           "ship_s": ship_s, "transform_s": transform_s, "blocks": len(blocks),
           "block_rows": args.block, "make_s": make, "place_s": place, "workers": len(pids),
           "whole_s": fixed + transform_s, "projected": projected, "in_process_bits": same}
    print(f"  cluster start {start_s:.1f} s, model shipped {ship_s:.1f} s, {len(blocks)} blocks "
          f"of {args.block:,} on {len(pids)} workers: {transform_s:.1f} s (per block: making "
          f"{np.median(make):.2f} s, transform min {min(place):.1f} s median "
          f"{np.median(place):.1f} s); whole run {out['whole_s']:.1f} s; "
          f"in-process bits {'equal' if same else 'DIFFER'}", flush=True)
    print("  projected on N workers: " + ", ".join(
        f"{N}: {t:.0f} s" for N, t in projected.items()), flush=True)
    if not args.no_quality:
        out["quality"] = quality(x, labels, y, args.trust_sample)
        print(f"  trustworthiness {out['quality']['trust']:.4f}, 10-NN accuracy "
              f"{out['quality']['knn_accuracy']:.4f} ({out['quality']['seconds']:.0f} s)",
              flush=True)
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=10_000_000, help="points (default 10,000,000)")
    ap.add_argument("--sample", type=int, nargs="+", default=[1_000_000],
                    help="sample sizes, multiples of 100,000 (default 1,000,000)")
    ap.add_argument("--block", type=int, default=500_000,
                    help="rows per transform block, a multiple of 100,000")
    ap.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    ap.add_argument("--threads", type=int, default=2, help="threads of the fits (default 2)")
    ap.add_argument("--trust-sample", type=int, default=5_000)
    ap.add_argument("--full", action="store_true", help="also fit all rows, for the quality")
    ap.add_argument("--full-seconds", type=float, default=1051.0,
                    help="the full fit's time when not run (10,000,000 x 32 on this machine)")
    ap.add_argument("--no-quality", action="store_true")
    ap.add_argument("--json", help="write every figure to this file")
    args = ap.parse_args(argv)
    from datasets import SCALE_BLOCK, make_scale

    assert args.block % SCALE_BLOCK == 0 and all(s % SCALE_BLOCK == 0 for s in args.sample)
    t0 = time.perf_counter()
    x, labels = make_scale(args.n)
    print(f"== {args.n:,} x {x.shape[1]} made in {time.perf_counter() - t0:.1f} s; "
          f"{os.cpu_count()} processors, load "
          + " ".join(f"{v:.2f}" for v in os.getloadavg()), flush=True)
    report = {"n": args.n, "runs": []}
    for s in args.sample:
        report["runs"].append(sample_run(args, x, labels, s))
    if args.full:
        model, full_s = fit(x, args.threads)
        report["full"] = {"fit_s": full_s, "stages": dict(model.timings_)}
        print(f"full fit of {args.n:,}: {full_s:.1f} s", flush=True)
        if not args.no_quality:
            report["full"]["quality"] = quality(x, labels, model.embedding_, args.trust_sample)
            q = report["full"]["quality"]
            print(f"  trustworthiness {q['trust']:.4f}, 10-NN accuracy {q['knn_accuracy']:.4f}",
                  flush=True)
    full_s = report.get("full", {}).get("fit_s", args.full_seconds)
    for r in report["runs"]:
        print(f"sample {r['sample']:,}: whole run {r['whole_s']:.0f} s = "
              f"{r['whole_s'] / full_s:.2f} x the full fit ({full_s:.0f} s"
              f"{'' if args.full else ', not run here'})")
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=1, default=float))


if __name__ == "__main__":
    main()
