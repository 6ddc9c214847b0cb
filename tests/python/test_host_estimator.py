"""brembolt.vornik.UMAP as a scikit-learn estimator, and the one table of its parameters."""

import argparse
import inspect
import warnings
from pathlib import Path

import joblib
import numpy as np
import pytest
from sklearn.base import clone
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

from brembolt.vornik import UMAP, _cli, _params, embed
from brembolt.vornik._machine import threads as _threads

README = Path(__file__).resolve().parents[2] / "README.md"


def blobs(n=60, dim=5, seed=0):
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, 3, n)
    return (rng.normal(scale=8.0, size=(3, dim))[labels] + rng.normal(size=(n, dim))).astype(
        np.float32)


@parametrize_with_checks([UMAP()])
def test_scikit_learn_estimator_checks(estimator, check):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # tiny data sets: fewer neighbours
        check(estimator)


def test_class_embed_cli_and_readme_follow_the_parameter_table():
    table = {p.name: p.default for p in _params.PARAMS}
    init = inspect.signature(UMAP).parameters.values()
    assert [(p.name, p.default) for p in init] == list(table.items())  # names, order, defaults
    assert list(inspect.signature(embed).parameters) == ["X", *table]
    assert UMAP().get_params() == table and set(UMAP._parameter_constraints) == set(table)
    assert all(f"\n    {name} : " in UMAP.__doc__ for name in table)
    assert _params.markdown_table() in README.read_text()
    commands = next(a for a in _cli.build_parser()._actions
                    if isinstance(a, argparse._SubParsersAction)).choices
    for parser in commands.values():
        options = {a.dest: a for a in parser._actions if a.dest != "help"}
        on_cli = {p.name for p in _params.PARAMS if p.cli is not None}
        assert on_cli - {"random_state"} <= set(options) and "random_state" in options
        assert all(a.help for a in options.values())


def test_int_seed_and_generator_seeded_alike_give_the_same_bits():
    x = blobs()
    by_int = embed(x, random_state=3, n_epochs=40, n_jobs=1)
    by_generator = embed(x, random_state=np.random.default_rng(3), n_epochs=40, n_jobs=1)
    np.testing.assert_array_equal(by_int.view(np.uint32), by_generator.view(np.uint32))
    a = embed(x, random_state=np.random.RandomState(5), n_epochs=40, n_jobs=1)
    b = embed(x, random_state=np.random.RandomState(5), n_epochs=40, n_jobs=1)
    np.testing.assert_array_equal(a, b)
    np.random.seed(9)  # None follows numpy's global state, as in scikit-learn
    c = embed(x, n_epochs=40, n_jobs=1)
    np.random.seed(9)
    np.testing.assert_array_equal(c, embed(x, n_epochs=40, n_jobs=1))


def test_n_jobs_means_what_it_means_in_scikit_learn(monkeypatch):
    import brembolt.vornik._machine as machine

    monkeypatch.setattr(machine, "idle_processors", lambda: None)  # as on an idle machine
    cpus = joblib.cpu_count()
    assert UMAP().n_jobs == -1 and _threads(-1) == cpus
    assert _threads(None) == 1 and _threads(-2) == max(cpus - 1, 1) and _threads(3) == 3
    with joblib.parallel_config(n_jobs=3):
        assert _threads(None) == 3


def test_pandas_input_with_nullable_dtypes_pipelines_and_knn_pass_through():
    pd = pytest.importorskip("pandas")
    x = blobs()
    frame = pd.DataFrame(x.astype(np.float64), columns=list("abcde")).astype("Float64")
    model = UMAP(n_neighbors=8, random_state=0, n_epochs=40)
    y = model.fit_transform(frame)
    np.testing.assert_array_equal(y, embed(x, n_neighbors=8, random_state=0, n_epochs=40))
    assert list(model.feature_names_in_) == list("abcde")
    assert list(model.get_feature_names_out()) == ["umap0", "umap1"]
    knn = (model.knn_indices_, model.knn_dists_)
    np.testing.assert_array_equal(clone(model).fit_transform(x, knn=knn), y)
    assert make_pipeline(StandardScaler(), model).fit_transform(frame).shape == (len(x), 2)


@pytest.mark.parametrize("n", [2, 6])
@pytest.mark.filterwarnings("ignore:spectral initialisation failed")
def test_fewer_samples_than_neighbours_use_every_other_point(n):
    x = blobs(n=n)
    with pytest.warns(UserWarning, match=f"X has {n}: using n_neighbors={n - 1}"):
        model = UMAP(random_state=0, n_epochs=40).fit(x)
    assert model.knn_indices_.shape == (n, n - 1)
    assert np.isfinite(model.embedding_).all()
