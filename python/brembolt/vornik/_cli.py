"""Command line: python -m brembolt.vornik {demo, embed}."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from . import _params
from ._estimator import UMAP
from .quality import knn_accuracy, trustworthiness

QUALITY_NEIGHBOURS = 15
CLASSIFIER_NEIGHBOURS = 10
TRUSTWORTHINESS_SAMPLE = 5000
TEXT_SUFFIXES = {".csv": ",", ".txt": ",", ".tsv": "\t"}
OUTPUT_SUFFIXES = (".npy", ".csv")
HTML_HELP = "an interactive page (.html, one file; needs plotly): hover a point to see what it is"

EMBED_EPILOG = """\
Text input (.csv, .txt: comma-separated; .tsv: tab-separated) holds one row per
line; blank lines and text after '#' are ignored. A header line is read only
with --header, which skips the first line of every text file read (the input
and the labels file); without it every line must hold numbers, and a line that
does not is reported with its line number. Labels (--labels) are one per line
in a text file, or a .npy array.
"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m brembolt.vornik",
        description="2-D embeddings of data matrices on native kernels.")
    sub = parser.add_subparsers(dest="command", required=True)

    demo = sub.add_parser("demo", help="embed the handwritten-digits data set bundled with "
                          "scikit-learn, print times and quality, write digits.png and digits.npy")
    demo.add_argument("--out-dir", type=Path, default=Path("."),
                      help="where digits.png and digits.npy go (default: .)")
    demo.add_argument("--html", type=Path, default=None, help=HTML_HELP)
    _params.add_cli_options(demo)

    emb = sub.add_parser("embed", help="embed a data matrix from a .npy, .npz, .csv, .tsv or "
                         ".txt file", epilog=EMBED_EPILOG,
                         formatter_class=argparse.RawDescriptionHelpFormatter)
    emb.add_argument("input", type=Path, help="the data matrix, one row per sample")
    emb.add_argument("-o", "--output", type=Path, required=True,
                     help="where the embedding goes: .npy, or .csv (comma-separated text)")
    emb.add_argument("--plot", type=Path, default=None, help="scatter plot as .png")
    emb.add_argument("--html", type=Path, default=None, help=HTML_HELP)
    emb.add_argument("--labels", type=Path, default=None,
                     help="one label per row (.npy or text), for colours and accuracy")
    emb.add_argument("--supervised", action="store_true",
                     help="fit with the labels as classes (y): -1 marks unlabelled rows")
    emb.add_argument("--key", default=None, help="array name inside an .npz (default: the first)")
    emb.add_argument("--header", action="store_true",
                     help="the first line of every text file read is a header")
    _params.add_cli_options(emb)
    return parser


# ---------------------------------------------------------------------------
# Files
# ---------------------------------------------------------------------------


def _text_lines(path: Path, header: bool):
    """(line number, content) of the lines that hold data: no header, comment or blank line."""
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, start=1):
            if header and number == 1:
                continue
            content = line.split("#", 1)[0].strip()
            if content:
                yield number, content


def _first_bad_line(path: Path, delimiter: str, header: bool) -> str:
    """Where and why a text matrix cannot be read, by the file's own line numbers."""
    width = None
    for number, content in _text_lines(path, header):
        cells = content.split(delimiter)
        for cell in cells:
            try:
                float(cell)
            except ValueError:
                hint = " (a header line needs --header)" if number == 1 else ""
                return f"{path}, line {number}: {cell.strip()!r} is not a number{hint}"
        if width is None:
            width = len(cells)
        elif len(cells) != width:
            return f"{path}, line {number}: {len(cells)} values, the lines before have {width}"
    return f"{path} holds no rows of numbers" if width is None else f"{path} cannot be read"


def load_matrix(path: Path, key: str | None = None, header: bool = False) -> np.ndarray:
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
    if suffix in TEXT_SUFFIXES:
        delimiter = TEXT_SUFFIXES[suffix]
        try:
            matrix = np.loadtxt(path, delimiter=delimiter, ndmin=2, skiprows=int(header),
                                comments="#", encoding="utf-8")
        except ValueError:
            raise ValueError(_first_bad_line(path, delimiter, header)) from None
        if matrix.size == 0:
            raise ValueError(f"{path} holds no rows of numbers")
        return matrix
    raise ValueError(f"unsupported input format {path.suffix!r}: use .npy, .npz, .csv, .tsv "
                     "or .txt")


def load_labels(path: Path, header: bool = False) -> np.ndarray:
    if path.suffix.lower() == ".npy":
        return np.load(path, allow_pickle=False).ravel()
    return np.array([content for _, content in _text_lines(path, header)])


def check_output(path: Path) -> None:
    if path.suffix.lower() not in OUTPUT_SUFFIXES:
        raise ValueError(f"unsupported output format {path.suffix!r} for {path}: "
                         "use .npy or .csv")


def save_embedding(path: Path, embedding: np.ndarray) -> None:
    """Writes exactly the file named: .npy (binary) or .csv (text)."""
    if path.suffix.lower() == ".npy":
        with open(path, "wb") as f:
            np.save(f, embedding)
    else:
        np.savetxt(path, embedding, delimiter=",", fmt="%.9g")


# ---------------------------------------------------------------------------
# Commands
# ---------------------------------------------------------------------------


def _model(args) -> UMAP:
    return UMAP(**_params.cli_params(args))


def _run(model: UMAP, X, labels, output: Path, plot: Path | None, title: str,
         supervised: bool = False, html: Path | None = None, images=None) -> None:
    start = time.perf_counter()
    embedding = model.fit_transform(X, labels if supervised else None)
    total = time.perf_counter() - start
    save_embedding(output, embedding)

    print(f"data: {X.shape[0]} points x {X.shape[1]} features -> {embedding.shape[1]}-D")
    for stage, seconds in model.timings_.items():
        print(f"  {stage:<22} {seconds:7.2f} s")
    print(f"  {'total':<22} {total:7.2f} s")

    sample = TRUSTWORTHINESS_SAMPLE if X.shape[0] > TRUSTWORTHINESS_SAMPLE else None
    tw = trustworthiness(X, embedding, QUALITY_NEIGHBOURS, sample=sample, metric=model.metric)
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
    if html is not None:
        from .plot import explore

        explore(embedding, labels, images=images, path=html, title=title)
        print(f"interactive page written to {html}")


def run_demo(args) -> int:
    from sklearn.datasets import load_digits

    digits = load_digits()
    args.out_dir.mkdir(parents=True, exist_ok=True)
    _run(_model(args), digits.data, digits.target, args.out_dir / "digits.npy",
         args.out_dir / "digits.png", "handwritten digits (8 x 8 pixels)", html=args.html,
         images=digits.images)
    return 0


def _require_file(path: Path) -> None:
    if not path.exists():
        raise ValueError(f"{path}: no such file")
    if not path.is_file():
        raise ValueError(f"{path}: not a file")


def run_embed(args) -> int:
    check_output(args.output)
    for path in (args.input, args.labels):
        if path is not None:
            _require_file(path)
    X = load_matrix(args.input, args.key, args.header)
    labels = load_labels(args.labels, args.header) if args.labels else None
    if labels is not None and len(labels) != len(X):
        raise ValueError(f"{args.labels} has {len(labels)} labels for {len(X)} rows")
    if args.supervised and labels is None:
        raise ValueError("--supervised needs --labels")
    _run(_model(args), X, labels, args.output, args.plot, args.input.name, args.supervised,
         args.html)
    return 0


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return run_demo(args) if args.command == "demo" else run_embed(args)
    except OSError as exc:  # unreadable input, unwritable output
        where = f"{exc.filename}: " if exc.filename else ""
        print(f"error: {where}{exc.strerror or exc}", file=sys.stderr)
    except (ValueError, ImportError) as exc:
        print(f"error: {exc}", file=sys.stderr)
    except KeyboardInterrupt:  # the running kernel has stopped and joined its threads
        print("interrupted", file=sys.stderr)
        return 130
    return 2
