"""Command line: python -m brembolt.vornik {demo, embed}."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from ._estimator import UMAP
from .quality import knn_accuracy, trustworthiness

QUALITY_NEIGHBOURS = 15
CLASSIFIER_NEIGHBOURS = 10
TRUSTWORTHINESS_SAMPLE = 5000


def _add_model_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--n-neighbors", type=int, default=15)
    p.add_argument("--n-components", type=int, default=2)
    p.add_argument("--min-dist", type=float, default=0.1)
    p.add_argument("--spread", type=float, default=1.0)
    p.add_argument("--n-epochs", type=int, default=None)
    p.add_argument("--init", choices=("spectral", "random"), default="spectral")
    p.add_argument("--seed", type=int, default=42, help="random_state (default 42)")
    p.add_argument("--n-jobs", type=int, default=None, help="threads (default: all processors)")
    p.add_argument("--verbose", action="store_true", help="report each stage as it starts and ends")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m brembolt.vornik",
        description="2-D embeddings of data matrices on native kernels.")
    sub = parser.add_subparsers(dest="command", required=True)

    demo = sub.add_parser("demo", help="embed the bundled handwritten-digits data set")
    demo.add_argument("--out-dir", type=Path, default=Path("."),
                      help="where digits.png and digits.npy go (default: .)")
    _add_model_options(demo)

    emb = sub.add_parser("embed", help="embed a data matrix from a .npy, .npz or .csv file")
    emb.add_argument("input", type=Path)
    emb.add_argument("-o", "--output", type=Path, required=True, help="embedding as .npy")
    emb.add_argument("--plot", type=Path, default=None, help="scatter plot as .png")
    emb.add_argument("--labels", type=Path, default=None,
                     help="one label per row (.npy, .csv or text), for colours and accuracy")
    emb.add_argument("--key", default=None, help="array name inside an .npz (default: the first)")
    _add_model_options(emb)
    return parser


# ---------------------------------------------------------------------------
# Files
# ---------------------------------------------------------------------------


def load_matrix(path: Path, key: str | None = None) -> np.ndarray:
    suffix = path.suffix.lower()
    if suffix == ".npy":
        return np.load(path, allow_pickle=False)
    if suffix == ".npz":
        with np.load(path, allow_pickle=False) as archive:
            names = list(archive.keys())
            if not names:
                raise ValueError(f"{path} holds no arrays")
            if key is not None and key not in names:
                raise ValueError(f"{path} has no array {key!r} (it has {', '.join(names)})")
            return archive[key or names[0]]
    if suffix in (".csv", ".txt", ".tsv"):
        delimiter = "\t" if suffix == ".tsv" else ","
        try:
            return np.loadtxt(path, delimiter=delimiter, ndmin=2)
        except ValueError:  # a header line
            return np.loadtxt(path, delimiter=delimiter, ndmin=2, skiprows=1)
    raise ValueError(f"unsupported input format {path.suffix!r}: use .npy, .npz or .csv")


def load_labels(path: Path) -> np.ndarray:
    if path.suffix.lower() == ".npy":
        return np.load(path, allow_pickle=False).ravel()
    with open(path, encoding="utf-8") as f:
        return np.array([line.strip() for line in f if line.strip()])


# ---------------------------------------------------------------------------
# Commands
# ---------------------------------------------------------------------------


def _model(args) -> UMAP:
    return UMAP(n_neighbors=args.n_neighbors, n_components=args.n_components,
                min_dist=args.min_dist, spread=args.spread, n_epochs=args.n_epochs,
                init=args.init, random_state=args.seed, n_jobs=args.n_jobs,
                verbose=args.verbose)


def _run(model: UMAP, X, labels, output: Path, plot: Path | None, title: str) -> None:
    start = time.perf_counter()
    embedding = model.fit_transform(X)
    total = time.perf_counter() - start
    np.save(output, embedding)

    print(f"data: {X.shape[0]} points x {X.shape[1]} features -> {embedding.shape[1]}-D")
    for stage, seconds in model.timings_.items():
        print(f"  {stage:<22} {seconds:7.2f} s")
    print(f"  {'total':<22} {total:7.2f} s")

    sample = TRUSTWORTHINESS_SAMPLE if X.shape[0] > TRUSTWORTHINESS_SAMPLE else None
    tw = trustworthiness(X, embedding, QUALITY_NEIGHBOURS, sample=sample)
    estimate = f" (estimated on {sample} points)" if sample else ""
    print(f"trustworthiness@{QUALITY_NEIGHBOURS}: {tw:.4f}{estimate}")
    if labels is not None:
        acc = knn_accuracy(embedding, labels, CLASSIFIER_NEIGHBOURS)
        print(f"{CLASSIFIER_NEIGHBOURS}-NN accuracy on the embedding: {acc:.4f}")
    print(f"embedding written to {output}")
    if plot is not None:
        from .plot import plot_embedding

        plot_embedding(embedding, plot, labels=labels, title=title)
        print(f"picture written to {plot}")


def run_demo(args) -> int:
    try:
        from sklearn.datasets import load_digits
    except ImportError:
        print('the demo needs scikit-learn for its data set: pip install "brembolt-vornik[demo]"',
              file=sys.stderr)
        return 2
    digits = load_digits()
    args.out_dir.mkdir(parents=True, exist_ok=True)
    _run(_model(args), digits.data, digits.target, args.out_dir / "digits.npy",
         args.out_dir / "digits.png", "handwritten digits (8 x 8 pixels)")
    return 0


def run_embed(args) -> int:
    X = load_matrix(args.input, args.key)
    labels = load_labels(args.labels) if args.labels else None
    if labels is not None and len(labels) != len(X):
        raise ValueError(f"{args.labels} has {len(labels)} labels for {len(X)} rows")
    _run(_model(args), X, labels, args.output, args.plot, args.input.name)
    return 0


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return run_demo(args) if args.command == "demo" else run_embed(args)
    except (ValueError, OSError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
