"""The module object itself: name, docstrings, calling convention, exports."""

import shutil
import subprocess

import pytest

import _native_vornik as m

METHOD_DOCS = {
    "knn_descent_f32": "Fill kNN indices and squared distances with the vendored Vornik kNN kernel.",
    "umap_graph_f32": "Build symmetrized UMAP fuzzy graph COO buffers from dense kNN arrays.",
    "umap_layout_euclidean_f32": "Optimize a UMAP layout in-place with the vendored pthread kernel.",
}

EXPORTED = {
    "PyInit__native_vornik",
    "mirnak_knn_descent_f32",
    "mirnak_umap_smooth_knn_dist_f32",
    "mirnak_umap_membership_strengths_f32",
    "mirnak_umap_symmetrize_fuzzy_graph_f32",
    "mirnak_umap_optimize_layout_euclidean_f32",
    "mirnak_umap_optimize_layout_euclidean_f32_parallel",
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
