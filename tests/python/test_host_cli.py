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
    [("x.json", "unsupported input format"), ("nan", "contains NaN")],
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
        ("a,b\n1,2\n", "x.csv, line 1: 'a' is not a number (a header line needs --header)"),
        ("# comment\n1,2\n\n3,x\n", "x.csv, line 4: 'x' is not a number"),
        ("1,2\n3,4\n5\n", "x.csv, line 3: 1 values, the lines before have 2"),
        (None, "x.csv: no such file"),
    ],
)
def test_unreadable_text_input_is_reported_by_line(tmp_path, capsys, text, message):
    if text is not None:
        (tmp_path / "x.csv").write_text(text)
    assert _cli.main(["embed", str(tmp_path / "x.csv"), "-o", str(tmp_path / "o.npy")]) == 2
    err = capsys.readouterr().err
    assert message in err and "Errno" not in err


def test_header_flag_skips_the_first_line_of_input_and_labels(tmp_path, capsys):
    X, labels = blobs()
    np.savetxt(tmp_path / "x.csv", X, delimiter=",", header="a,b,c,d,e,f", comments="")
    (tmp_path / "y.txt").write_text("digit\n" + "\n".join(map(str, labels)))
    rc = _cli.main(["embed", str(tmp_path / "x.csv"), "-o", str(tmp_path / "o.npy"), "--header",
                    "--labels", str(tmp_path / "y.txt"), "--n-neighbors", "8", "--n-epochs", "20"])
    assert rc == 0 and "10-NN accuracy" in capsys.readouterr().out


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
