"""Transform benchmark: new points into a fitted model, against a fit on all points.

For each data set, a model is fitted on the first rows (40,000 of lowdim64,
60,000 of mnistlike) and the remaining 10,000 rows are transformed. It prints:
  - the neighbour query's recall@15 against exact neighbours among the training rows;
  - transform time (min and median of --reps runs; the query alone too);
  - quality of the new points: accuracy of a 10-NN classifier among the training
    points' embedding (labels known), and trustworthiness at 15 neighbours of the
    new points' embedding against their data (estimated from a sample);
  - the same two figures for the same rows in a fit on all points (the reference);
  - how close transform lands to embedding_ for training rows when the rule that
    places a bit-identical training row at its fitted position is switched off;
  - the size of the pickled model.

--reach runs three sets where a walk that starts from a few pivots gets stuck
far from the query, fitted on 20,000 rows and queried with 2,000 new ones:
2,000 tight clusters of ten points in 20 dimensions (new points drawn from
the same clusters), uniform points in 100 dimensions, and queries on the
segment between two Gaussian blobs. For each it prints the fit's own recall
of its training rows' neighbours, the query's recall of the new rows'
neighbours (mean, and the share of rows with none of them), and the query's
and transform's time.

    python bench/transform.py                          # both data sets
    python bench/transform.py --data lowdim64 --epochs 0 30 100 200
    python bench/transform.py --reach
"""

from __future__ import annotations

import argparse
import os
import pickle
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
from datasets import CACHE, load  # noqa: E402

from brembolt.vornik import UMAP, trustworthiness  # noqa: E402
from brembolt.vornik import _transform  # noqa: E402
from brembolt.vornik.neighbours import as_centred_float64, sq_distance_blocks  # noqa: E402

SPLITS = {"lowdim64": 40_000, "mnistlike": 60_000}
N_NEW = 10_000
K = 15
TRUST_SAMPLE = 3000


def exact_among_training(name, x, n_train, k=K):
    """Exact k nearest training rows of every new row (cached): ids, ascending."""
    path = os.path.join(CACHE, f"{name}_train{n_train}_query{k}.npy")
    if os.path.exists(path):
        return np.load(path)
    points = as_centred_float64(x[:n_train + N_NEW])
    queries = np.arange(n_train, n_train + N_NEW)
    ids = np.empty((N_NEW, k), np.int64)
    at = 0
    for block, d2 in sq_distance_blocks(points, queries):
        d2 = d2[:, :n_train]
        part = np.argpartition(d2, k, axis=1)[:, :k]
        order = np.lexsort((part, np.take_along_axis(d2, part, axis=1)), axis=1)
        ids[at:at + block.size] = np.take_along_axis(part, order, axis=1)
        at += block.size
    os.makedirs(CACHE, exist_ok=True)
    np.save(path, ids)
    return ids


def recall(found, exact):
    return float(np.mean([len(set(a) & set(b)) for a, b in zip(found, exact)])) / exact.shape[1]


def accuracy_among(train_emb, train_labels, new_emb, new_labels, k=10):
    from sklearn.neighbors import KNeighborsClassifier

    clf = KNeighborsClassifier(n_neighbors=k).fit(train_emb, train_labels)
    return float(clf.score(new_emb, new_labels))


def timed(fn, reps):
    times, out = [], None
    for _ in range(reps):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return out, min(times), statistics.median(times)


def quality(x_new, y_new, train_emb, train_labels, new_labels):
    acc = accuracy_among(train_emb, train_labels, y_new, new_labels)
    trust = trustworthiness(x_new, y_new, K, sample=TRUST_SAMPLE)
    return acc, trust


def run(name, args):
    x, labels = load(name)
    n_train = SPLITS[name]
    x_train, x_new = x[:n_train], x[n_train:n_train + N_NEW]
    l_train, l_new = labels[:n_train], labels[n_train:n_train + N_NEW]
    print(f"\n## {name}: fit on {n_train} x {x.shape[1]}, transform {N_NEW} new rows, "
          f"{args.threads} threads", flush=True)

    start = time.perf_counter()
    model = UMAP(n_neighbors=K, random_state=args.seed, n_jobs=args.threads).fit(x_train)
    print(f"fit on the training rows: {time.perf_counter() - start:.1f} s", flush=True)
    start = time.perf_counter()
    ref = _transform.build_index(model._reference, model.knn_indices_, model.knn_dists_)
    print(f"the transform index (built on the first transform): "
          f"{time.perf_counter() - start:.2f} s")
    print(f"search graph {ref.graph.shape[1]} wide, {ref.pivots.size} pivots; "
          f"pickled model {len(pickle.dumps(model)) / n_train:.0f} bytes per training point "
          f"(training rows alone {4 * x.shape[1]})")

    exact = exact_among_training(name, x, n_train)
    for beam in args.beams:
        (idx, _), qmin, qmed = timed(
            lambda: _transform.query(ref, x_new, K, args.threads, beam=beam), args.reps)
        print(f"query, beam {beam}: recall@15 {recall(idx, exact):.4f}, {qmin:.3f} s min / "
              f"{qmed:.3f} s median", flush=True)

    for epochs in args.epochs:
        model.set_params(transform_epochs=epochs)
        y_new, tmin, tmed = timed(lambda: model.transform(x_new), args.reps)
        acc, trust = quality(x_new, y_new, model.embedding_, l_train, l_new)
        print(f"transform, {epochs:4d} epochs: {tmin:.3f} s min / {tmed:.3f} s median; "
              f"10-NN accuracy {acc:.4f}, trustworthiness {trust:.4f}", flush=True)

    if args.closeness:
        rows = np.random.default_rng(1).choice(n_train, 5000, replace=False)
        again = _transform.place(model._fitted(), x_train[rows], args.threads, exact_rows=False)
        shift = np.linalg.norm(again - model.embedding_[rows], axis=1)
        from sklearn.neighbors import NearestNeighbors

        nn = NearestNeighbors(n_neighbors=2).fit(model.embedding_)
        spacing = float(np.median(nn.kneighbors(model.embedding_[rows])[0][:, 1]))
        extent = float(np.ptp(model.embedding_, axis=0).max())
        print(f"transform of 5000 training rows without the identical-row rule: distance to "
              f"embedding_ median {np.median(shift):.3f}, 90th percentile "
              f"{np.percentile(shift, 90):.3f} (median nearest-neighbour spacing {spacing:.3f}, "
              f"extent {extent:.1f})")

    if args.reference:
        start = time.perf_counter()
        full = UMAP(n_neighbors=K, random_state=args.seed, n_jobs=args.threads).fit_transform(
            x[:n_train + N_NEW])
        acc, trust = quality(x_new, full[n_train:], full[:n_train], l_train, l_new)
        print(f"reference, fit on all {n_train + N_NEW} rows ({time.perf_counter() - start:.1f} s):"
              f" the same rows' 10-NN accuracy {acc:.4f}, trustworthiness {trust:.4f}",
              flush=True)


def reach_sets(n=20_000, m=2_000):
    """(name, training rows, new rows) of the three sets of --reach, float32."""
    rng = np.random.default_rng(20261209)
    centres = rng.normal(size=(n // 10, 20))
    train = centres[np.repeat(np.arange(n // 10), 10)] + rng.normal(0, 0.01, (n, 20))
    new = centres[rng.integers(0, n // 10, m)] + rng.normal(0, 0.01, (m, 20))
    yield "2,000 tight clusters, 20-D", train, new
    yield "uniform, 100-D", rng.random((n, 100)), rng.random((m, 100))
    # Queries anywhere between two unit blobs ten apart, and well off the line
    # between them: their nearest training rows are each blob's outermost
    # points towards them.
    ends = np.zeros((2, 32))
    ends[1, 0] = 10.0
    train = ends[rng.integers(0, 2, n)] + rng.normal(size=(n, 32))
    new = ends[0] + rng.random((m, 1)) * (ends[1] - ends[0]) + rng.normal(0, 5.0, (m, 32))
    yield "between two blobs, 32-D", train, new


def exact_rows(train, queries, k, skip_self=False):
    """The exact k nearest training rows of each query row (float64), nearest first."""
    points = np.vstack([train, queries]).astype(np.float64)
    points -= points.mean(axis=0)
    n = train.shape[0]
    ids = np.empty((queries.shape[0], k), np.int64)
    at = 0
    for block, d2 in sq_distance_blocks(points, np.arange(n, n + queries.shape[0])):
        d2 = d2[:, :n]
        part = np.argpartition(d2, k, axis=1)[:, :k]
        ids[at:at + block.size] = part
        at += block.size
    return ids


def others(rows):
    """Each row of training ids without the row's own id (the fit's rows and the exact rows
    of the training points list the point itself)."""
    mine = np.arange(rows.shape[0])[:, None]
    keep = rows != mine
    return np.array([r[k][:rows.shape[1] - 1] for r, k in zip(rows, keep)])


def recall_rows(found, exact):
    """Per row, the share of its exact neighbours found."""
    return np.array([len(set(a) & set(b)) for a, b in zip(found, exact)]) / exact.shape[1]


def reach(args):
    print(f"\n## reach: fit on 20,000 rows, 2,000 new rows, {args.threads} threads, "
          f"min / median of {args.reps} runs", flush=True)
    for name, train, new in reach_sets():
        train = np.ascontiguousarray(train, dtype=np.float32)
        new = np.ascontiguousarray(new, dtype=np.float32)
        model = UMAP(n_neighbors=K, random_state=args.seed, n_jobs=args.threads).fit(train)
        fit_rows = recall_rows(others(model.knn_indices_), others(exact_rows(train, train, K)))
        fit_recall = fit_rows.mean()
        start = time.perf_counter()
        ref = _transform.index(model._fitted())
        built = time.perf_counter() - start
        exact = exact_rows(train, new, K)
        (idx, _), qmin, qmed = timed(
            lambda: _transform.query(ref, _prepared(model, new), K, args.threads), args.reps)
        per_row = recall_rows(idx, exact)
        _, tmin, tmed = timed(lambda: model.transform(new), args.reps)
        print(f"{name}: the fit's recall@14 of its rows' other points {fit_recall:.3f} "
              f"({np.mean(fit_rows == 0):.1%} with none); new rows' recall@15 "
              f"{per_row.mean():.3f} ({per_row.mean() / fit_recall:.2f} of the fit's), "
              f"{np.mean(per_row == 0):.1%} with none; query {qmin:.3f} s / {qmed:.3f} s, "
              f"transform {tmin:.3f} s / {tmed:.3f} s, index {built:.2f} s", flush=True)


def _prepared(model, x):
    """x as the fit prepared its own rows (here the identity up to a power of two)."""
    from brembolt.vornik._data import prepare

    return prepare(x, model._kernel_space.metric, model._kernel_space).points


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", choices=sorted(SPLITS), action="append")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--beams", type=int, nargs="+", default=[_transform.BEAM_FACTOR * K],
                        help="search list sizes of the query (default: the transform's)")
    parser.add_argument("--epochs", type=int, nargs="+", default=[UMAP().transform_epochs])
    parser.add_argument("--no-reference", dest="reference", action="store_false",
                        help="skip the fit on all points")
    parser.add_argument("--no-closeness", dest="closeness", action="store_false")
    parser.add_argument("--reach", action="store_true",
                        help="the three sets where a walk from a few pivots gets stuck")
    args = parser.parse_args(argv)
    if args.reach:
        reach(args)
        return
    for name in args.data or sorted(SPLITS):
        run(name, args)


if __name__ == "__main__":
    main()
