"""The estimator's parameters: one table that the class, embed(), the CLI and the README read.

Adding a parameter is one Param line here and its keyword in UMAP.__init__
(written out, so that type checkers see it; a test holds it to the table); its
_parameter_constraints and docstring, embed()'s signature, the command-line
options and the README table all follow from the table. A test checks the
README's copy of the table; print it with
    python -c "from brembolt.vornik._params import markdown_table as t; print(t())"
"""

from __future__ import annotations

import argparse
import inspect
from dataclasses import dataclass
from numbers import Integral, Real

import numpy as np
from sklearn.utils._param_validation import Interval, StrOptions

from ._data import METRICS

INT_MAX = 2**31 - 1
# Bounds that keep the layout's amount of work sane: each edge draws up to
# negative_sample_rate negative samples per epoch in which it is sampled.
MAX_EPOCHS = 100_000
MAX_NEGATIVE_SAMPLE_RATE = 1_000
# The layout runs in float32. Every rate is a normal float32 number, never 0
# or infinite once narrowed. The embedding grows with the learning rate (its
# extent was 4 to 140 times the rate, whatever the epochs): up to 1e6 its
# squared distances stay far below float32's overflow at 3.4e38, where the
# layout broke down into NaN (from 1e18 on the digits).
SMALLEST_RATE = 1e-30
MAX_LEARNING_RATE = 1_000_000
MAX_REPULSION_STRENGTH = 1e30
# The curve's a is a' spread^(-2b), with b up to about 1.93 (min_dist near
# spread): within these spreads it stays a normal float32 number.
SPREAD_RANGE = (1e-6, 1_000_000)


@dataclass(frozen=True)
class Cli:
    """How a parameter appears on the command line (absent: not an option)."""

    type: object = None  # argparse type; None for a flag
    flag: str | None = None  # default: --name-with-dashes
    default: object = inspect.Parameter.empty  # default: the parameter's own
    choices: tuple | None = None
    help: str | None = None  # default: the parameter's doc


@dataclass(frozen=True)
class Param:
    name: str
    default: object
    constraints: tuple
    doc: str
    cli: Cli | None = None

    @property
    def flag(self) -> str:
        return self.cli.flag or "--" + self.name.replace("_", "-")

    @property
    def cli_default(self):
        return self.default if self.cli.default is inspect.Parameter.empty else self.cli.default


PARAMS = (
    Param("n_neighbors", 15, (Interval(Integral, 2, INT_MAX - 1, closed="both"),),
          "size of each point's neighbourhood, the point itself included; at most "
          "n_samples - 1 is used", Cli(int)),
    Param("n_components", 2, (Interval(Integral, 1, INT_MAX, closed="both"),),
          "dimension of the embedding", Cli(int)),
    Param("metric", "euclidean", (StrOptions(set(METRICS)),),
          "distance between rows: 'euclidean', 'cosine', 'correlation' (1 - Pearson "
          "correlation), 'hellinger', 'haversine' (latitude and longitude in radians), "
          "'seuclidean', 'mahalanobis', 'manhattan', 'chebyshev', 'minkowski'; for binary rows "
          "'hamming', 'jaccard', 'dice'; or 'precomputed' (X is a square matrix of distances); "
          "sparse X takes 'euclidean', "
          "'cosine', 'manhattan', 'jaccard' (of the non-zero pattern) and 'hellinger'",
          Cli(str, choices=METRICS, help="distance between rows ('precomputed': the input is "
              "a square matrix of distances)")),
    Param("metric_params", None, (dict, None),
          "the metric's settings: {'p': p} for 'minkowski' (default 2), {'V': variances} for "
          "'seuclidean' (default: the columns' variances), {'VI': inverse covariance} or "
          "{'V': covariance} for 'mahalanobis' (default: the inverse of the columns' "
          "covariance)"),
    Param("min_dist", 0.1, (Interval(Real, 0, None, closed="left"),),
          "smallest distance of close points in the embedding (at most spread)", Cli(float)),
    Param("spread", 1.0, (Interval(Real, *SPREAD_RANGE, closed="both"),),
          "scale of the embedded clusters", Cli(float)),
    Param("n_epochs", None, (Interval(Integral, 1, MAX_EPOCHS, closed="both"), None),
          "optimisation epochs; None: 500 up to 10,000 points, else 200",
          Cli(int, help="optimisation epochs (default: 500 up to 10,000 points, else 200)")),
    Param("learning_rate", 1.0,
          (Interval(Real, SMALLEST_RATE, MAX_LEARNING_RATE, closed="both"),),
          "initial step size of the layout, decaying linearly to 0", Cli(float)),
    Param("repulsion_strength", 1.0,
          (Interval(Real, 0, MAX_REPULSION_STRENGTH, closed="both"),),
          "weight of the repulsive (negative-sample) updates", Cli(float)),
    Param("negative_sample_rate", 5,
          (Interval(Real, SMALLEST_RATE, MAX_NEGATIVE_SAMPLE_RATE, closed="both"),),
          "negative samples per positive sample of an edge", Cli(float)),
    Param("init", "spectral", (StrOptions({"spectral", "random"}), "array-like"),
          "initial layout: 'spectral', 'random' or an array (n_samples, n_components)",
          Cli(str, choices=("spectral", "random"), help="initial layout")),
    Param("target_weight", 0.5, (Interval(Real, 0, 1, closed="both"),),
          "how far class labels y shape the embedding: 0 ignores them, 1 cuts every edge "
          "between different classes", Cli(float)),
    Param("unique", False, ("boolean",),
          "embed each distinct row once and give its copies its position",
          Cli(help="embed each distinct row once and give its copies its position")),
    Param("random_state", None, (None, Integral, np.random.RandomState, np.random.Generator),
          "seed (int), numpy RandomState or Generator, or None for numpy's global state",
          Cli(int, flag="--seed", default=42, help="random seed")),
    Param("n_jobs", -1, (Interval(Integral, None, -1, closed="right"),
                         Interval(Integral, 1, None, closed="left"), None),
          "threads: -1 every usable processor, -2 all but one, None one unless a joblib "
          "parallel_config says otherwise", Cli(int, help="threads: -1 every usable processor, "
                                                "-2 all but one")),
    Param("densmap", False, ("boolean",),
          "density-preserving layout: over the last density_share of the epochs, tie each "
          "point's local radius in the embedding to its local radius in the data, so that "
          "tight clusters stay tight and diffuse ones diffuse",
          Cli(help="density-preserving layout: cluster sizes follow the data's local density")),
    Param("density_strength", 0.5, (Interval(Real, 0, None, closed="left"),),
          "with densmap, the weight of the density term against the layout's own forces",
          Cli(float)),
    Param("density_share", 0.3, (Interval(Real, 0, 1, closed="right"),),
          "with densmap, the share of the epochs, the last ones, on which the density term acts",
          Cli(float)),
    Param("density_variance_shift", 0.1, (Interval(Real, 0, None, closed="left"),),
          "with densmap, added to the variance of the embedding's log radii in the density "
          "term, so that the term stays bounded while the radii are alike", Cli(float)),
    Param("transform_epochs", 30, (Interval(Integral, 0, MAX_EPOCHS, closed="both"),),
          "layout epochs of each new point in transform (0: the start alone)"),
    Param("verbose", False, ("verbose",),
          "report each stage on standard error as it starts and ends, with progress bars "
          "through the neighbour search and the layout (of fit and of transform)", Cli()),
)

BY_NAME = {p.name: p for p in PARAMS}


def constraints() -> dict:
    """UMAP._parameter_constraints."""
    return {p.name: list(p.constraints) for p in PARAMS}


def defaults() -> dict:
    return {p.name: p.default for p in PARAMS}


def embed_signature() -> inspect.Signature:
    """embed's: X, then every table entry as a keyword with its default."""
    first = inspect.Parameter("X", inspect.Parameter.POSITIONAL_OR_KEYWORD)
    return inspect.Signature([first] + [inspect.Parameter(p.name, inspect.Parameter.KEYWORD_ONLY,
                                                          default=p.default) for p in PARAMS])


# ---------------------------------------------------------------------------
# Text
# ---------------------------------------------------------------------------


def _describe_constraint(c) -> str:
    if c is None:
        return "None"
    if isinstance(c, Interval):
        kind = "int" if c.type is Integral else "float"
        if c.right is None:
            sign = ">=" if c.closed in ("left", "both") else ">"
            return f"{kind} {sign} {c.left}"
        if c.left is None:
            sign = "<=" if c.closed in ("right", "both") else "<"
            return f"{kind} {sign} {c.right}"
        lo = "[" if c.closed in ("left", "both") else "("
        hi = "]" if c.closed in ("right", "both") else ")"
        return f"{kind} in {lo}{c.left}, {c.right}{hi}"
    if isinstance(c, StrOptions):
        return ", ".join(repr(o) for o in sorted(c.options))
    if isinstance(c, type):
        return {int: "int", Integral: "int"}.get(c, c.__name__)
    return {"verbose": "bool or int", "boolean": "bool"}.get(c, str(c))


def describe(p: Param) -> str:
    """The allowed values in words: "int >= 1 or None"."""
    parts = [_describe_constraint(c) for c in p.constraints]
    return parts[0] if len(parts) == 1 else ", ".join(parts[:-1]) + " or " + parts[-1]


def docstring_section() -> str:
    """The numpydoc 'Parameters' section of the class docstring."""
    lines = ["Parameters", "----------"]
    for p in PARAMS:
        lines.append(f"{p.name} : {describe(p)}, default={p.default!r}")
        lines.append(f"    {p.doc[0].upper()}{p.doc[1:]}.")
    return "\n".join(lines)


def markdown_table() -> str:
    """The README's parameter table."""
    rows = ["| parameter | default | allowed | meaning |", "|---|---|---|---|"]
    for p in PARAMS:
        rows.append(f"| `{p.name}` | `{p.default!r}` | {describe(p)} | {p.doc} |")
    return "\n".join(rows)


def add_cli_options(parser: argparse.ArgumentParser) -> None:
    """One option per table entry that has a command-line form."""
    for p in PARAMS:
        if p.cli is None:
            continue
        help_text = p.cli.help or p.doc
        if p.cli.type is None:
            parser.add_argument(p.flag, dest=p.name, action="store_true", help=help_text)
            continue
        if p.cli_default is not None:
            help_text += f" (default: {p.cli_default})"
        parser.add_argument(p.flag, dest=p.name, type=p.cli.type, default=p.cli_default,
                            choices=p.cli.choices,
                            metavar=None if p.cli.choices else p.flag[2:].upper().replace("-", "_"),
                            help=help_text)


def cli_params(args: argparse.Namespace) -> dict:
    return {p.name: getattr(args, p.name) for p in PARAMS if p.cli is not None}
