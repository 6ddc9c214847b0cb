"""The module object itself: name, docstrings, calling convention, exports."""

import array
import ast
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import _native_vornik as m

METHOD_DOCS = {
    "knn_descent_sparse_f32":
        "knn_descent_f32_ctl on a CSR matrix (indptr int64, indices int32 ascending within rows, "
        "data float32; n rows of n_cols) in metric 'sqeuclidean', 'manhattan' or 'jaccard' (of "
        "the non-zero pattern).",
    "knn_query_sparse_f32":
        "Exact k nearest training rows of each query row, both CSR matrices as in "
        "knn_descent_sparse_f32, rows ascending by distance, ties by id.",
    "knn_descent_f32": "Fill kNN indices and squared distances with the vendored Vornik kNN kernel.",
    "umap_graph_f32": "Build symmetrized UMAP fuzzy graph COO buffers from dense kNN arrays.",
    "umap_graph_f32_parallel": "umap_graph_f32 with its rows split between n_threads threads; the same bits.",
    "umap_layout_euclidean_f32": "Optimize a UMAP layout in-place with the vendored pthread kernel.",
    "knn_query_f32":
        "Fill the k nearest training rows of new rows by a walk over a fitted search graph.",
    "umap_query_memberships_f32":
        "Membership strengths of new rows to their training neighbours from dense kNN arrays.",
    "umap_layout_new_points_f32":
        "Optimize the layout of new points in-place against a frozen reference embedding.",
    "knn_descent_f32_ctl": "knn_descent_f32 with the number of tree workers given (0: one per "
    "tree), so that the result does not depend on n_threads, and a control block (progress, "
    "stop) or None.",
    "umap_layout_euclidean_f32_ctl": "umap_layout_euclidean_f32 with a control block (progress, "
    "stop) or None.",
    "umap_layout_euclidean_f32_parts": "Optimize a UMAP layout in-place on n_parts gradient "
    "buffers, with a result that does not depend on n_threads; takes a control block "
    "(progress, stop) or None.",
    "umap_layout_euclidean_f32_parts_in_schedule_order": "umap_layout_euclidean_f32_parts on "
    "edges given in schedule order (see umap_layout_substeps), read where they are instead of "
    "copied.",
    "umap_layout_substeps": "The substeps per epoch of a parts layout of n_edges edges on "
    "n_samples points asked for n_substeps (0: the default count).",
    "knn_query_f32_ctl": "knn_query_f32 with a search forest (n_trees 0: none) and a control "
    "block (progress: query rows answered; stop) or None.",
    "knn_search_forest_f32": "Build the search forest of the training rows x for "
    "knn_query_f32_ctl; takes a control block (progress: trees built; stop) or None.",
    "knn_forest_nodes": "The split slots per tree of a search forest over n points with leaves "
    "of at most leaf_size points.",
    "umap_layout_new_points_f32_ctl":
        "umap_layout_new_points_f32 with a control block (progress: points placed; stop) or None.",
    "umap_inverse_points_f32": "Points of the data space for points of the embedding: means of "
    "their fitted neighbours' rows, weighted by the embedding's membership curve; takes a "
    "control block or None.",
    "umap_layout_density_f32": "umap_layout_euclidean_f32_parts with a density term over its "
    "last density_epochs epochs, tying each vertex's local radius in the embedding to "
    "data_radius; takes a control block (progress, stop) or None.",
    "knn_descent_metric_f32": "knn_descent_f32_ctl in metric 'manhattan', 'chebyshev' or "
    "'minkowski' (with p): distances in the metric's units, for Minkowski its p-th power.",
    "knn_descent_bits_u64": "knn_descent_f32_ctl on bit-packed rows (n x n_words uint64 words) in "
    "metric 'hamming' (distances: differing bits), 'jaccard' or 'dice'.",
    "knn_query_metric_f32": "knn_query_f32_ctl in metric 'manhattan', 'chebyshev' or 'minkowski' "
    "(with p): distances in the metric's units, for Minkowski its p-th power.",
    "knn_query_bits_u64": "knn_query_f32_ctl on bit-packed rows (n x n_words and n_queries x "
    "n_words uint64 words) in metric 'hamming' (distances: differing bits), 'jaccard' or 'dice'.",
    "knn_search_forest_bits_u64": "knn_search_forest_f32 on bit-packed rows (n x n_words uint64 "
    "words), for knn_query_bits_u64.",
}

ROOT = Path(__file__).resolve().parents[2]

EXPORTED = {
    "PyInit__native_vornik",
    "mirnak_knn_descent_f32",
    "mirnak_umap_smooth_knn_dist_f32",
    "mirnak_umap_membership_strengths_f32",
    "mirnak_umap_symmetrize_fuzzy_graph_f32",
    "mirnak_umap_fuzzy_graph_f32_parallel",
    "mirnak_umap_optimize_layout_euclidean_f32",
    "mirnak_umap_optimize_layout_euclidean_f32_parallel",
    "mirnak_knn_query_f32",
    "mirnak_umap_optimize_new_points_f32",
    "mirnak_knn_descent_f32_ctl",
    "mirnak_umap_optimize_layout_euclidean_f32_ctl",
    "mirnak_umap_optimize_layout_euclidean_f32_parallel_ctl",
    "mirnak_umap_optimize_layout_euclidean_f32_parts",
    "mirnak_umap_optimize_layout_euclidean_f32_parts_in_schedule_order",
    "mirnak_umap_layout_substeps",
    "mirnak_umap_layout_parts_traced",
    "mirnak_knn_query_f32_ctl",
    "mirnak_umap_optimize_new_points_f32_ctl",
    "mirnak_umap_inverse_points_f32",
    "mirnak_umap_optimize_layout_density_f32",
    "mirnak_knn_descent_metric_f32",
    "mirnak_knn_descent_bits_u64",
    "mirnak_knn_forest_nodes",
    "mirnak_knn_search_forest_f32",
    "mirnak_knn_search_forest_bits_u64",
    "mirnak_knn_query_metric_f32",
    "mirnak_knn_query_bits_u64",
    "mirnak_knn_descent_sparse_f32",
    "mirnak_knn_query_sparse_f32",
}


def test_module_name_and_docstring():
    assert m.__name__ == "_native_vornik"
    assert m.__doc__ == "Minimal vendored native kernels for brembolt.vornik."


@pytest.mark.parametrize("name", sorted(METHOD_DOCS))
def test_methods_carry_their_docstrings(name):
    assert getattr(m, name).__doc__ == METHOD_DOCS[name]


@pytest.mark.parametrize("name", sorted(METHOD_DOCS))
def test_keyword_arguments_are_refused(name):
    with pytest.raises(TypeError):
        getattr(m, name)(n=1)


@pytest.mark.parametrize("name", sorted(METHOD_DOCS))
def test_wrong_argument_count_is_the_parsers_error(name):
    with pytest.raises(TypeError):
        getattr(m, name)()


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_shared_object_exports_exactly_the_entry_and_kernels():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", m.__file__], check=True, capture_output=True, text=True
    ).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert symbols == EXPORTED


def documented_methods(page=ROOT / "docs" / "api" / "native.rst", section=None):
    """The methods a page describes (in `section` up to the next "## ", or all of it for None):
    headings and list items that open with `name(`, and Sphinx's py:function directives.
    The one place that knows where the module's methods are documented."""
    text = page.read_text()
    if section is not None:
        text = re.split(r"^## ", text.split(f"\n{section}\n", 1)[1], flags=re.M)[0]
    opening = r"^(?:#+ |- |\.\. py:function:: )`?([a-z][a-z0-9_]*)\("
    return set(re.findall(opening, text, flags=re.M))


def test_stub_method_table_and_documentation_list_the_same_methods():
    stub = {f.name: ast.get_docstring(f) for f in ast.parse(
        (ROOT / "src" / "_native_vornik.pyi").read_text()).body if isinstance(f, ast.FunctionDef)}
    methods = {name for name in dir(m) if not name.startswith("__")}
    assert set(stub) == methods == set(METHOD_DOCS) == documented_methods()
    assert stub == METHOD_DOCS  # the stub's docstrings are the module's


# ---------------------------------------------------------------------------
# Outputs that share memory with other arguments
# ---------------------------------------------------------------------------


def knn(v):
    return m.knn_descent_f32(v["x"], v["idx"], v["dist"], 6, 2, 2, 1, 1, 0, 10, 1)


def graph(v):
    return m.umap_graph_f32(v["idx"], v["dist"], v["out_rows"], v["out_cols"], v["out_vals"], 3, 2)


def graph_parallel(v):
    return m.umap_graph_f32_parallel(v["idx"], v["dist"], v["out_rows"], v["out_cols"],
                                     v["out_vals"], 3, 2, 2)


def layout(v):
    return m.umap_layout_euclidean_f32(v["embedding"], v["head"], v["tail"],
                                       v["epochs_per_sample"], 4, 2, 3, 1.58, 0.9, 1.0, 1.0, 5.0,
                                       0, 1)


GRAPH_INPUTS = {"idx": (0, 6, "i"), "dist": (6, 6, "f")}


@pytest.mark.parametrize("call, views_at, pair", [
    # Each view is (first item, items, format) in one shared buffer; the
    # counts are those the sizes imply.
    (knn, {"x": (0, 12, "f"), "idx": (11, 12, "i"), "dist": (30, 12, "f")}, "idx and x"),
    (knn, {"x": (20, 12, "f"), "idx": (0, 12, "i"), "dist": (31, 12, "f")}, "dist and x"),
    (knn, {"x": (0, 12, "f"), "idx": (12, 12, "i"), "dist": (23, 12, "f")}, "idx and dist"),
    (graph, {**GRAPH_INPUTS, "out_rows": (11, 12, "i"), "out_cols": (24, 12, "i"),
             "out_vals": (36, 12, "f")}, "out_rows and dist"),
    (graph, {**GRAPH_INPUTS, "out_rows": (12, 12, "i"), "out_cols": (5, 12, "i"),
             "out_vals": (36, 12, "f")}, "out_cols and idx"),
    (graph, {**GRAPH_INPUTS, "out_rows": (12, 12, "i"), "out_cols": (40, 12, "i"),
             "out_vals": (20, 12, "f")}, "out_rows and out_vals"),
    (graph_parallel, {**GRAPH_INPUTS, "out_rows": (12, 12, "i"), "out_cols": (5, 12, "i"),
                      "out_vals": (36, 12, "f")}, "out_cols and idx"),
    (layout, {"embedding": (0, 8, "f"), "head": (7, 3, "i"), "tail": (10, 3, "i"),
              "epochs_per_sample": (13, 3, "f")}, "embedding and head"),
    (layout, {"embedding": (10, 8, "f"), "head": (0, 3, "i"), "tail": (17, 3, "i"),
              "epochs_per_sample": (20, 3, "f")}, "embedding and tail"),
    (layout, {"embedding": (2, 8, "f"), "head": (20, 3, "i"), "tail": (20, 3, "i"),
              "epochs_per_sample": (0, 3, "f")}, "embedding and epochs_per_sample"),
    # Touching is not overlapping, and inputs may share memory.
    (knn, {"x": (0, 12, "f"), "idx": (12, 12, "i"), "dist": (24, 12, "f")}, None),
    (layout, {"embedding": (0, 8, "f"), "head": (8, 3, "i"), "tail": (8, 3, "i"),
              "epochs_per_sample": (11, 3, "f")}, None),
])
def test_outputs_must_not_overlap_inputs_or_each_other(call, views_at, pair):
    buf = bytearray(4 * 64)
    whole = memoryview(buf)
    views = {name: whole[4 * first:4 * (first + count)].cast(fmt)
             for name, (first, count, fmt) in views_at.items()}
    if "epochs_per_sample" in views:
        views["epochs_per_sample"][:] = array.array("f", [1.0] * len(views["epochs_per_sample"]))
    if pair is None:
        call(views)
    else:
        with pytest.raises(ValueError, match=f"^{pair} must not overlap$"):
            call(views)
    for v in views.values():
        v.release()
    whole.release()
    buf.extend(b"\0")  # fails while the method still holds a view of buf
