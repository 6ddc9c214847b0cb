"""python -m brembolt.vornik: demo and embed from files."""

import subprocess
import sys

import numpy as np
import pytest

from brembolt.vornik import _cli


def blobs(n=90, dim=6, seed=0):
    rng = np.random.default_rng(seed)
    labels = np.repeat(np.arange(3), n // 3)
    return rng.normal(scale=10, size=(3, dim))[labels] + rng.normal(size=(n, dim)), labels


@pytest.mark.parametrize("suffix", [".npy", ".npz", ".csv"])
def test_embed_reads_each_format_and_writes_the_embedding(tmp_path, suffix, capsys):
    X, labels = blobs()
    src = tmp_path / f"data{suffix}"
    if suffix == ".npy":
        np.save(src, X)
    elif suffix == ".npz":
        np.savez(src, points=X)
    else:
        np.savetxt(src, X, delimiter=",", header="a,b,c,d,e,f")
    out = tmp_path / "emb.npy"
    lab = tmp_path / "labels.txt"
    lab.write_text("\n".join(map(str, labels)))
    rc = _cli.main(["embed", str(src), "-o", str(out), "--labels", str(lab), "--n-neighbors", "8",
                    "--n-epochs", "50", "--seed", "1"])
    assert rc == 0
    emb = np.load(out)
    assert emb.shape == (len(X), 2) and np.isfinite(emb).all()
    printed = capsys.readouterr().out
    assert "trustworthiness@15" in printed and "10-NN accuracy" in printed
    assert "nearest neighbours" in printed


def test_embed_plot_and_verbose(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    X, labels = blobs()
    np.save(tmp_path / "x.npy", X)
    np.save(tmp_path / "y.npy", labels)
    rc = _cli.main(["embed", str(tmp_path / "x.npy"), "-o", str(tmp_path / "e.npy"), "--plot",
                    str(tmp_path / "e.png"), "--labels", str(tmp_path / "y.npy"), "--verbose",
                    "--n-neighbors", "8", "--n-epochs", "30"])
    assert rc == 0
    assert (tmp_path / "e.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    err = capsys.readouterr().err
    assert "[vornik] nearest neighbours ..." in err and "layout optimisation done" in err


@pytest.mark.parametrize(
    "content, message",
    [("x.json", "unsupported input format"), ("nan", "x.npy: X[4, 2] (counting from 0): NaN")],
)
def test_embed_reports_bad_input_without_a_traceback(tmp_path, capsys, content, message):
    if content == "nan":
        src = tmp_path / "x.npy"
        X, _ = blobs()
        X[4, 2] = np.nan
        np.save(src, X)
    else:
        src = tmp_path / content
        src.write_text("1 2 3")
    assert _cli.main(["embed", str(src), "-o", str(tmp_path / "o.npy")]) == 2
    assert message in capsys.readouterr().err


def test_output_is_exactly_the_file_named(tmp_path, capsys):
    X, _ = blobs()
    np.save(tmp_path / "x.npy", X)
    args = ["embed", str(tmp_path / "x.npy"), "--n-neighbors", "8", "--n-epochs", "20"]
    assert _cli.main(args + ["-o", str(tmp_path / "y.csv")]) == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.npy", "y.csv"]
    assert np.loadtxt(tmp_path / "y.csv", delimiter=",").shape == (len(X), 2)
    assert _cli.main(args + ["-o", str(tmp_path / "y.txt")]) == 2
    assert "unsupported output format '.txt'" in capsys.readouterr().err


@pytest.mark.parametrize(
    "text, message",
    [
        ("a,b\n1,2\n3,x\n", "x.csv, line 3, column 'b': 'x' is not a number"),
        ("# comment\n1,2\n\n3,x\n", "x.csv, line 4, column 2: 'x' is not a number"),
        ("1,2\n3,4\n5\n", "x.csv, line 3, column 2: missing or NaN"),
        ("1,2\n3,4\n5,6,7\n", "x.csv, line 3: 3 values, the lines before have 2"),
        (None, "x.csv: no such file"),
    ],
)
def test_unreadable_text_input_is_reported_by_line(tmp_path, capsys, text, message):
    if text is not None:
        (tmp_path / "x.csv").write_text(text)
    assert _cli.main(["embed", str(tmp_path / "x.csv"), "-o", str(tmp_path / "o.npy")]) == 2
    err = capsys.readouterr().err
    assert message in err and "Errno" not in err


def test_header_flags_of_input_and_labels_are_separate(tmp_path, capsys):
    X, labels = blobs()
    np.savetxt(tmp_path / "x.csv", X, delimiter=",", header="1,2,3,4,5,6", comments="")
    (tmp_path / "y.txt").write_text("\n".join(map(str, labels)))
    (tmp_path / "yh.txt").write_text("digit\n" + "\n".join(map(str, labels)))
    base = ["embed", str(tmp_path / "x.csv"), "-o", str(tmp_path / "o.npy"), "--header",
            "--n-neighbors", "8", "--n-epochs", "20"]
    assert _cli.main(base + ["--labels", str(tmp_path / "y.txt")]) == 0
    assert "10-NN accuracy" in capsys.readouterr().out
    assert _cli.main(base + ["--labels", str(tmp_path / "yh.txt")]) == 2
    assert "91 labels for 90 rows (is its first line a header? pass --labels-header)" in \
        capsys.readouterr().err
    assert _cli.main(base + ["--labels", str(tmp_path / "yh.txt"), "--labels-header"]) == 0


def test_label_count_must_match_rows(tmp_path, capsys):
    X, labels = blobs()
    np.save(tmp_path / "x.npy", X)
    np.save(tmp_path / "y.npy", labels[:-1])
    rc = _cli.main(["embed", str(tmp_path / "x.npy"), "-o", str(tmp_path / "o.npy"),
                    "--labels", str(tmp_path / "y.npy")])
    assert rc == 2 and "labels for" in capsys.readouterr().err


def test_demo_writes_picture_and_embedding(tmp_path):
    pytest.importorskip("sklearn")
    pytest.importorskip("matplotlib")
    proc = subprocess.run(
        [sys.executable, "-m", "brembolt.vornik", "demo", "--out-dir", str(tmp_path),
         "--n-epochs", "100"],
        capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "1797 points x 64 features" in proc.stdout
    assert np.load(tmp_path / "digits.npy").shape == (1797, 2)
    assert (tmp_path / "digits.png").stat().st_size > 10_000


def test_plot_leaves_the_callers_backend_alone(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    from brembolt.vornik.plot import plot_embedding

    previous = matplotlib.get_backend()
    matplotlib.use("svg")
    try:
        X, labels = blobs()
        plot_embedding(X[:, :2], tmp_path / "p.png", labels=labels)
        assert matplotlib.get_backend() == "svg"
        assert (tmp_path / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    finally:
        matplotlib.use(previous)


def test_big_embeddings_are_shaded_by_density(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from brembolt.vornik import plot

    X, labels = blobs()
    small = plot.plot_embedding(X[:, :2], tmp_path / "s.png", labels=labels)
    assert small.axes[0].collections and not small.axes[0].images
    monkeypatch.setattr(plot, "DENSITY_FROM", len(X))
    for given in (labels, None):
        big = plot.plot_embedding(X[:, :2], tmp_path / "b.png", labels=given)
        assert big.axes[0].images and not big.axes[0].collections
        assert (tmp_path / "b.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # Each cell takes the mean colour of its points: the clusters lie apart,
    # so every shaded cell shows the colour of one class.
    from matplotlib import colormaps

    cells = plot.plot_embedding(X[:, :2], tmp_path / "b.png", labels=labels).axes[0].images[0]
    rgba = cells.get_array()
    shaded = rgba[rgba[..., 3] > 0][:, :3]
    palette = np.array([colormaps["tab10"](i)[:3] for i in range(3)])
    assert np.isclose(shaded[:, None, :], palette[None]).all(axis=2).any(axis=1).all()
    assert not plot.plot_embedding(X[:, :2], tmp_path / "s.png", density=False).axes[0].images


def test_semi_supervised_picture_and_accuracy_leave_unlabelled_points_out(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from brembolt.vornik import knn_accuracy
    from brembolt.vornik.plot import UNLABELLED_COLOUR, plot_embedding

    X, labels = blobs(n=150)
    hidden = np.random.default_rng(5).random(len(X)) < 0.8
    partial = np.where(hidden, -1, labels)
    np.save(tmp_path / "x.npy", X)
    np.save(tmp_path / "y.npy", partial)
    rc = _cli.main(["embed", str(tmp_path / "x.npy"), "-o", str(tmp_path / "e.npy"), "--labels",
                    str(tmp_path / "y.npy"), "--supervised", "--plot", str(tmp_path / "e.png"),
                    "--n-neighbors", "8", "--n-epochs", "30"])
    out = capsys.readouterr().out
    assert rc == 0
    emb = np.load(tmp_path / "e.npy")
    known = int((~hidden).sum())
    assert (f"10-NN accuracy on the embedding: {knn_accuracy(emb, partial, 10):.4f} "
            f"(over the {known} labelled points)") in out
    fig = plot_embedding(emb, None, labels=partial)
    legend = [t.get_text() for t in fig.axes[0].get_legend().get_texts()]
    assert legend == ["0", "1", "2"]
    from matplotlib.colors import to_rgba

    grey = [c for c in fig.axes[0].collections
            if np.allclose(c.get_facecolor()[0], to_rgba(UNLABELLED_COLOUR))]
    assert len(grey) == 1 and len(grey[0].get_offsets()) == hidden.sum()


def test_plot_without_a_path_returns_the_figure_and_writes_nothing(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    from brembolt.vornik.plot import plot_embedding

    monkeypatch.chdir(tmp_path)
    X, labels = blobs()
    names = np.array([f"cluster-{i}" for i in (2, 10, 1)])[labels]
    for density in (False, True):
        fig = plot_embedding(X[:, :2], None, labels=names, density=density)
        assert isinstance(fig, Figure)
        legend = [t.get_text() for t in fig.axes[0].get_legend().get_texts()]
        assert legend == ["cluster-1", "cluster-2", "cluster-10"]  # natural order
    assert list(tmp_path.iterdir()) == []


def _lab(rgb):
    """CIELAB of sRGB colours (D65)."""
    rgb = np.asarray(rgb, float)[:, :3]
    linear = np.where(rgb <= 0.04045, rgb / 12.92, ((rgb + 0.055) / 1.055) ** 2.4)
    xyz = linear @ np.array([[0.4124, 0.3576, 0.1805], [0.2126, 0.7152, 0.0722],
                             [0.0193, 0.1192, 0.9505]]).T / [0.95047, 1.0, 1.08883]
    f = np.where(xyz > 0.008856, np.cbrt(xyz), 7.787 * xyz + 16 / 116)
    return np.stack([116 * f[:, 1] - 16, 500 * (f[:, 0] - f[:, 1]), 200 * (f[:, 1] - f[:, 2])], 1)


def test_palette_stays_distinguishable_and_the_legend_covers_no_point():
    pytest.importorskip("matplotlib")
    from matplotlib.colors import to_rgba

    from brembolt.vornik.plot import UNLABELLED_COLOUR, palette, plot_embedding

    for n in range(2, 21):
        lab = _lab(np.vstack([palette(n), [to_rgba(UNLABELLED_COLOUR)]]))
        gaps = np.linalg.norm(lab[:, None] - lab[None], axis=2) + 1e9 * np.eye(n + 1)
        assert gaps.min() > 25, n  # tab20's closest pair: 16.6
    # Points everywhere: no place inside the axes is free for the legend.
    rng = np.random.default_rng(0)
    xy = rng.uniform(size=(3000, 2))
    for density in (False, True):
        fig = plot_embedding(xy, labels=rng.integers(0, 14, len(xy)), density=density)
        fig.draw_without_rendering()
        ax = fig.axes[0]
        box = ax.get_legend().get_window_extent()
        shown = ax.transData.transform(xy)
        assert not ((shown[:, 0] >= box.x0) & (shown[:, 0] <= box.x1)
                    & (shown[:, 1] >= box.y0) & (shown[:, 1] <= box.y1)).any()


def test_version_is_the_packages(capsys):
    from importlib.metadata import version

    from brembolt.vornik import __version__

    with pytest.raises(SystemExit) as done:
        _cli.main(["--version"])
    assert done.value.code == 0 and __version__ == version("brembolt-vornik")
    assert capsys.readouterr().out == f"brembolt-vornik {__version__}\n"
