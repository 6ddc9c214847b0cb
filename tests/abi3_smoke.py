"""Loads the installed extension in this interpreter and builds a small fuzzy graph.

Uses nothing but the standard library, so it runs in a bare virtual environment.
"""

import array
import sys

import _native_vornik as m

assert m.__doc__ == "Minimal vendored native kernels for brembolt.vornik."
n, k = 3, 2
idx = array.array("i", [0, 1, 1, 2, 2, 0])
dist = array.array("f", [0.0, 1.0, 0.0, 1.0, 0.0, 1.0])
rows, cols = array.array("i", [0] * 12), array.array("i", [0] * 12)
vals = array.array("f", [0.0] * 12)
m.umap_graph_f32(idx, dist, rows, cols, vals, n, k)
edges = sorted((r, c) for r, c, v in zip(rows, cols, vals) if v > 0)
assert edges == [(0, 1), (0, 2), (1, 0), (1, 2), (2, 0), (2, 1)], edges
print(f"{sys.implementation.name} {sys.version.split()[0]}: {m.__file__.rsplit('/', 1)[-1]} works")
