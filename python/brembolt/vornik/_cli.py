"""Command line: python -m brembolt.vornik {demo, embed}."""

from __future__ import annotations

import argparse
import csv
import sys
import time
from pathlib import Path

import numpy as np

from . import KernelError, __version__, _files, _params, quality
from ._estimator import UMAP
from ._labels import class_codes, label_array
from .quality import knn_accuracy, trustworthiness

QUALITY_NEIGHBOURS = 15
CLASSIFIER_NEIGHBOURS = 10
HTML_HELP = "an interactive page (.html, one file; needs plotly): hover a point to see what it is"

EMBED_EPILOG = """\
Tables (.csv, .tsv, .txt) are read with pandas: the delimiter (comma,
semicolon or tab) is found from the first lines, quoted cells are read as
their content, and a semicolon table with decimal commas is read as such.
Blank lines and text after '#' are skipped. The first line is a header when
it names more columns than the next line has text cells (--header and
--no-header decide instead). A column of class labels is named with
--label-column; every other column must hold numbers, and a cell that does
not, or a missing value, is reported with its line and column. An unnamed
first column that looks like a row index (as pandas writes one) is left out
with a warning. Parquet files (.parquet) need pyarrow. A labels file
(--labels) holds one label per line, or is a .npy array or a one-column
Parquet file; -1 and empty labels mark unlabelled points. No output may be
an input: every output is written to a temporary file beside it and renamed
into place when it is complete.
"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m brembolt.vornik",
        description="2-D embeddings of data matrices on native kernels.")
    parser.add_argument("--version", action="version", version=f"brembolt-vornik {__version__}")
    sub = parser.add_subparsers(dest="command", required=True)

    demo = sub.add_parser("demo", help="embed the handwritten-digits data set bundled with "
                          "scikit-learn, print times and quality, write digits.png and digits.npy")
    demo.add_argument("--out-dir", type=Path, default=Path("."),
                      help="where digits.png and digits.npy go (default: .)")
    demo.add_argument("--html", type=Path, default=None, help=HTML_HELP)
    _params.add_cli_options(demo)

    emb = sub.add_parser("embed", help="embed a data matrix from a .npy, .npz, .csv, .tsv, "
                         ".txt or .parquet file", epilog=EMBED_EPILOG,
                         formatter_class=argparse.RawDescriptionHelpFormatter)
    emb.add_argument("input", type=Path, help="the data matrix, one row per sample")
    emb.add_argument("-o", "--output", type=Path, required=True,
                     help="where the embedding goes: .npy, .csv (comma-separated text) or "
                     ".parquet")
    emb.add_argument("--plot", type=Path, default=None,
                     help="picture of the embedding (.png, .svg, .pdf, ...)")
    emb.add_argument("--html", type=Path, default=None, help=HTML_HELP)
    labels = emb.add_mutually_exclusive_group()
    labels.add_argument("--labels", type=Path, default=None,
                        help="a file of labels, one per row (.npy, .parquet or text), for "
                        "colours and accuracy")
    labels.add_argument("--label-column", metavar="NAME", default=None,
                        help="the input table's column of labels (a name, or a position "
                        "counting from 1); it is not a feature")
    emb.add_argument("--labels-header", action="store_true",
                     help="the first line of the labels file is a header")
    emb.add_argument("--supervised", action="store_true",
                     help="fit with the labels as classes (y): -1 marks unlabelled rows")
    emb.add_argument("--drop-columns", metavar="A,B,...", default="",
                     help="columns of the input table that are not features")
    emb.add_argument("--index-column", metavar="NAME", default=None,
                     help="the input table's column of row names; it is not a feature")
    header = emb.add_mutually_exclusive_group()
    header.add_argument("--header", dest="header", action="store_true", default=None,
                        help="the first line of the input table is a header")
    header.add_argument("--no-header", dest="header", action="store_false",
                        help="the first line of the input table is data")
    emb.add_argument("--delimiter", default=None,
                     help="the input table's delimiter (default: found from its first lines)")
    emb.add_argument("--key", default=None, help="array name inside an .npz (default: the first)")
    _params.add_cli_options(emb)
    return parser


# ---------------------------------------------------------------------------
# Files
# ---------------------------------------------------------------------------


def load_input(args) -> tuple[np.ndarray, np.ndarray | None]:
    """The data matrix and the labels of the table's --label-column (or None)."""
    path = args.input
    suffix = path.suffix.lower()
    if suffix not in _files.INPUT_SUFFIXES:
        raise ValueError(f"unsupported input format {path.suffix!r}: use .npy, .npz, .csv, "
                         ".tsv, .txt or .parquet")
    table_only = [flag for flag, given in (("--label-column", args.label_column),
                                           ("--drop-columns", args.drop_columns),
                                           ("--index-column", args.index_column)) if given]
    if suffix in (".npy", ".npz"):
        if table_only:
            raise ValueError(f"{table_only[0]} needs a table (.csv, .tsv, .txt or .parquet)")
        x = _files.load_npy(path) if suffix == ".npy" else _files.load_npz(path, args.key)
        if x.dtype.kind in "fc":
            _files.check_finite(x, lambda r, c: f"{path}: X[{r}, {c}] (counting from 0)", "NaN")
        return x, None
    options = _files.TableOptions(
        header=args.header, label_column=args.label_column,
        drop_columns=tuple(c.strip() for c in args.drop_columns.split(",") if c.strip()),
        index_column=args.index_column, delimiter=args.delimiter)
    table = _files.table(path, options)
    for note in table.notes:
        print(f"warning: {note}", file=sys.stderr)
    return table.features, table.labels


def _inputs(args) -> list[Path]:
    return [p for p in (getattr(args, "input", None), getattr(args, "labels", None)) if p]


def _page(html: Path | None) -> list[tuple[Path, str]]:
    return [] if html is None else [(html, "page")]


def check_outputs(outputs: list[tuple[Path, str]], inputs: list[Path]) -> None:
    """Formats, directories, writability and identity of every output, before any work."""
    for path, kind in outputs:
        if kind == "picture":
            _files.check_picture_format(path)
        elif kind == "page":
            if path.suffix.lower() not in (".html", ".htm"):
                raise ValueError(f"{path}: an interactive page is written as .html")
        else:
            _files.check_output_format(path)
        _files.check_output(path, inputs)
    for i, (a, _) in enumerate(outputs):
        for b, _ in outputs[i + 1:]:
            if _files.same_file(a, b):
                raise ValueError(f"{a} and {b} are the same file; give each output its own")


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
    _files.write_atomically(output, _files.embedding_writer(output, embedding))

    print(f"data: {X.shape[0]} points x {X.shape[1]} features -> {embedding.shape[1]}-D")
    for stage, seconds in model.timings_.items():
        print(f"  {stage:<22} {seconds:7.2f} s")
    print(f"  {'total':<22} {total:7.2f} s")

    sampled = X.shape[0] > quality.SAMPLE_ABOVE
    tw = trustworthiness(X, embedding, QUALITY_NEIGHBOURS, metric=model.metric,
                         metric_params=model.metric_params)
    estimate = f" (estimated on {quality.DEFAULT_SAMPLE} points)" if sampled else ""
    print(f"trustworthiness@{QUALITY_NEIGHBOURS}: {tw:.4f}{estimate}")
    if labels is not None:
        _print_accuracy(embedding, labels)
    print(f"embedding written to {output}")
    if plot is not None:
        from .plot import plot_embedding

        fig = plot_embedding(embedding, labels=labels, title=title)
        kind = plot.suffix.lower().lstrip(".")
        _files.write_atomically(plot, lambda f: fig.savefig(f, format=kind))
        print(f"picture written to {plot}")
    if html is not None:
        from .plot import explore

        explore(embedding, labels, images=images, path=html, title=title)
        print(f"interactive page written to {html}")


def _print_accuracy(embedding, labels) -> None:
    """The k-NN accuracy over the labelled points (unlabelled ones neither vote nor count)."""
    _, codes = class_codes(label_array(labels))
    known = int((codes >= 0).sum())
    if known <= CLASSIFIER_NEIGHBOURS:
        print(f"{CLASSIFIER_NEIGHBOURS}-NN accuracy: not measured ({known} labelled points)")
        return
    acc = knn_accuracy(embedding, labels, CLASSIFIER_NEIGHBOURS)
    among = f" (over the {known} labelled points)" if known < len(codes) else ""
    print(f"{CLASSIFIER_NEIGHBOURS}-NN accuracy on the embedding: {acc:.4f}{among}")


def run_demo(args) -> int:
    from sklearn.datasets import load_digits

    args.out_dir.mkdir(parents=True, exist_ok=True)
    output, plot = args.out_dir / "digits.npy", args.out_dir / "digits.png"
    check_outputs([(output, "embedding"), (plot, "picture")] + _page(args.html), [])
    digits = load_digits()
    _run(_model(args), digits.data, digits.target, output, plot,
         "handwritten digits (8 x 8 pixels)", html=args.html, images=digits.images)
    return 0


def _require_file(path: Path) -> None:
    if not path.exists():
        raise ValueError(f"{path}: no such file")
    if not path.is_file():
        raise ValueError(f"{path}: not a file")


def run_embed(args) -> int:
    inputs = _inputs(args)
    for path in inputs:
        _require_file(path)
    outputs = [(args.output, "embedding")] + ([(args.plot, "picture")] if args.plot else [])
    outputs += _page(args.html)
    check_outputs(outputs, inputs)
    if args.supervised and not (args.labels or args.label_column):
        raise ValueError("--supervised needs --labels or --label-column")
    if args.labels_header and not args.labels:
        raise ValueError("--labels-header needs --labels")
    X, labels = load_input(args)
    if args.labels:
        labels = _files.load_labels(args.labels, args.labels_header)
        if len(labels) != len(X):
            hint = (" (is its first line a header? pass --labels-header)"
                    if len(labels) == len(X) + 1 and not args.labels_header else "")
            raise ValueError(f"{args.labels} has {len(labels)} labels for {len(X)} rows{hint}")
    _run(_model(args), X, labels, args.output, args.plot, args.input.name, args.supervised,
         args.html)
    return 0


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return run_demo(args) if args.command == "demo" else run_embed(args)
    except OSError as exc:  # unreadable input, unwritable output
        where = f"{exc.filename}: " if exc.filename else ""
        print(f"error: {where}{exc.strerror or _files.one_line(exc)}", file=sys.stderr)
    except MemoryError:
        print("error: out of memory", file=sys.stderr)
    except (ValueError, ImportError, EOFError, csv.Error, KernelError) as exc:
        print(f"error: {_files.one_line(exc)}", file=sys.stderr)
    except KeyboardInterrupt:  # the running kernel has stopped and joined its threads
        print("interrupted", file=sys.stderr)
        return 130
    return 2
