"""The estimator's parameter table as reST, written from the one table the code reads."""

import os

from brembolt.vornik import _params


def write(folder: str) -> None:
    os.makedirs(folder, exist_ok=True)
    rows = [".. list-table::", "   :header-rows: 1", "   :widths: 18 12 25 45", "",
            "   * - parameter", "     - default", "     - allowed", "     - meaning"]
    for p in _params.PARAMS:
        rows += [f"   * - ``{p.name}``", f"     - ``{p.default!r}``",
                 f"     - {_params.describe(p)}", f"     - {p.doc}"]
    text = "\n".join(rows) + "\n"
    path = os.path.join(folder, "parameters.rst")
    old = open(path).read() if os.path.exists(path) else None
    if old != text:  # an unchanged file keeps the pages that include it up to date
        with open(path, "w") as f:
            f.write(text)
