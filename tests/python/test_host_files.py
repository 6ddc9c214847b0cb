"""The command line's files: tables as they come, hostile files, and outputs that never destroy inputs."""

import os

import numpy as np
import pytest

from brembolt.vornik import _cli, _files

FAST = ["--n-neighbors", "8", "--n-epochs", "30", "--seed", "3"]


@pytest.fixture
def iris_like():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(0)
    species = np.repeat(["setosa", "versicolor", "virginica"], 30)
    x = np.round(rng.normal(scale=4.0, size=(3, 4))[np.repeat(np.arange(3), 30)]
                 + rng.normal(size=(90, 4)), 2)
    frame = pd.DataFrame(x, columns=["sepal length", "sepal width", "petal length", "petal width"])
    frame["species"] = species
    return frame


def embed(tmp_path, source, *options, capsys=None):
    out = tmp_path / f"{source.stem}.emb.npy"
    rc = _cli.main(["embed", str(source), "-o", str(out), *FAST, *options])
    return rc, (np.load(out) if rc == 0 else None)


def test_tables_as_they_come_give_the_same_embedding(tmp_path, iris_like, capsys):
    frame = iris_like
    variants = {
        "plain.csv": dict(index=False),
        "quoted.csv": dict(index=False, quoting=1),  # every cell in quotes, numbers too
        "semicolon.csv": dict(index=False, sep=";", decimal=","),
        "tabs.tsv": dict(index=False, sep="\t"),
        "pandas_index.csv": dict(),  # an unnamed first column of 0, 1, 2, ...
    }
    results = {}
    for name, how in variants.items():
        frame.to_csv(tmp_path / name, **how)
        rc, results[name] = embed(tmp_path, tmp_path / name, "--label-column", "species")
        captured = capsys.readouterr()
        assert rc == 0, captured.err
        assert "10-NN accuracy on the embedding" in captured.out
        assert ("looks like a row index" in captured.err) == (name == "pandas_index.csv")
    first = results["plain.csv"]
    assert all(np.array_equal(first, r) for r in results.values())
    # A named index column, a dropped column and labels by position do the same.
    shifted = frame.assign(extra=1.5)
    shifted.insert(0, "id", [f"s{i}" for i in range(len(frame))])
    shifted.to_csv(tmp_path / "named.csv", index=False)
    rc, same = embed(tmp_path, tmp_path / "named.csv", "--index-column", "id", "--drop-columns",
                     "extra", "--label-column", "6")
    assert rc == 0 and np.array_equal(same, first)


@pytest.mark.parametrize("table, options, message", [
    ("a,b,kind\n1,2,x\n3,4,y\n", [], "x.csv, line 2, column 'kind': 'x' is not a number "
     "(a column of labels needs --label-column"),
    ("a,b\n1,2\n3,\n5,6\n", [], "x.csv, line 3, column 'b': missing or NaN"),
    ("a,b\n1,2\n3,4\n", ["--label-column", "c"], "x.csv has no such column (it has 'a', 'b')"),
    ("1,2\n3,4\n", ["--label-column", "a"], "has no header line naming its columns"),
    ("a,b\n1," + "9" * 200_000 + "z\n2,3\n", [], "'" + "9" * 40 + "'..."),
    ("x" * 200_000, ["--no-header"], "line 1, column 1: '" + "x" * 40 + "'..."),
])
def test_bad_tables_are_one_short_error_line(tmp_path, capsys, table, options, message):
    (tmp_path / "x.csv").write_text(table)
    rc, _ = embed(tmp_path, tmp_path / "x.csv", *options)
    err = capsys.readouterr().err
    assert rc == 2 and message in err
    assert err.count("\n") == 1 and err.startswith("error: ") and len(err) < 400


def test_hostile_files_are_refused_before_they_are_read_whole(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(_files, "MAX_LINE_BYTES", 1 << 20)
    (tmp_path / "long.csv").write_bytes(b"1," * (1 << 20))  # 2 MiB, no newline
    (tmp_path / "bin.csv").write_bytes(b"1,2\n\x00\x01\x02\n")
    (tmp_path / "latin.csv").write_bytes(b"a,b\n1,2\n3,\xe9\n")
    with open(tmp_path / "huge.npy", "wb") as f:  # a header claiming 73 TiB, 16 bytes of data
        np.lib.format.write_array_header_1_0(f, {"descr": "<f8", "fortran_order": False,
                                                 "shape": (10**7, 10**6)})
        f.write(b"\0" * 16)
    np.savez(tmp_path / "arch.npz", a=np.zeros((4, 2)))
    with open(tmp_path / "arch.npz", "r+b") as f:  # truncate the member inside the archive
        f.truncate(os.path.getsize(tmp_path / "arch.npz") // 2)
    cases = {"long.csv": "long.csv, line 1: longer than 1 MiB",
             "bin.csv": "bin.csv is not text (a NUL byte at offset 4)",
             "latin.csv": "latin.csv is not UTF-8 text",
             "huge.npy": "huge.npy: its header promises an array of shape (10000000, 1000000) "
                         "(72.8 TiB), but the file holds 16 bytes of data",
             "arch.npz": "arch.npz is not an .npz archive"}
    for name, message in cases.items():
        rc, _ = embed(tmp_path, tmp_path / name)
        err = capsys.readouterr().err
        assert rc == 2 and message in err, err
        assert err.count("\n") == 1 and err.startswith("error: ")


def test_an_output_is_never_an_input_and_is_checked_before_the_fit(tmp_path, capsys, monkeypatch):
    def no_fit(*args, **kwargs):
        raise AssertionError("the fit ran before the outputs were checked")

    monkeypatch.setattr(_cli.UMAP, "fit_transform", no_fit)
    data = tmp_path / "dir" / "in.npy"
    data.parent.mkdir()
    np.save(data, np.random.default_rng(0).normal(size=(40, 3)))
    labels = tmp_path / "labels.txt"
    labels.write_text("\n".join(["a", "b"] * 20))
    (tmp_path / "link.npy").symlink_to(data)
    (tmp_path / "table.csv").write_text("1,2\n3,4\n5,6\n")
    (tmp_path / "folder.npy").mkdir()
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(0o500)
    before = data.read_bytes(), labels.read_bytes()
    cases = [
        ([str(data), "-o", str(data)], "is also an input"),
        ([str(data), "-o", f"{tmp_path}/dir/../dir/./in.npy"], "is also an input"),
        ([str(data), "-o", str(tmp_path / "link.npy")], "is also an input"),
        ([str(data), "--labels", str(labels), "-o", str(tmp_path / "e.npy"),
          "--plot", str(labels.with_suffix(".png"))], None),  # distinct: passes the checks
        ([str(tmp_path / "table.csv"), "-o", str(tmp_path / "table.csv")], "is also an input"),
        ([str(data), "-o", str(tmp_path / "e.npy"), "--plot", str(tmp_path / "e.npy")],
         "unsupported picture format '.npy'"),
        ([str(data), "-o", str(tmp_path / "e.png"), "--plot", str(tmp_path / "e.png")],
         "unsupported output format '.png'"),
        ([str(data), "-o", str(tmp_path / "e.npy"), "--plot", str(tmp_path / "e.xyz")],
         "unsupported picture format '.xyz'"),
        ([str(data), "-o", str(tmp_path / "missing" / "e.npy")], "does not exist"),
        ([str(data), "-o", str(tmp_path / "folder.npy")], "is a directory"),
    ]
    if os.geteuid() != 0:  # root writes anywhere
        cases.append(([str(data), "-o", str(locked / "e.npy")], "is not writable"))
    for args, message in cases:
        if message is None:
            with pytest.raises(AssertionError, match="the fit ran"):
                _cli.main(["embed", *args])
            continue
        assert _cli.main(["embed", *args]) == 2, args
        err = capsys.readouterr().err
        assert message in err and err.count("\n") == 1, (args, err)
    labels_out = [str(data), "--labels", str(labels), "-o", str(labels.with_suffix(".csv"))]
    os.link(labels, labels.with_suffix(".csv"))  # the same file under another name
    assert _cli.main(["embed", *labels_out]) == 2
    assert "is also an input" in capsys.readouterr().err
    assert (data.read_bytes(), labels.read_bytes()) == before


def test_outputs_appear_whole_or_not_at_all(tmp_path, capsys, monkeypatch):
    np.save(tmp_path / "x.npy", np.random.default_rng(0).normal(size=(40, 3)))
    out = tmp_path / "e.npy"
    out.write_bytes(b"the previous embedding")
    out.chmod(0o640)
    real_writer = _files.embedding_writer

    def failing_writer(path, embedding):
        def write(f):
            f.write(b"half")
            raise OSError(28, "No space left on device")
        return write

    monkeypatch.setattr(_files, "embedding_writer", failing_writer)
    assert _cli.main(["embed", str(tmp_path / "x.npy"), "-o", str(out), *FAST]) == 2
    assert "No space left on device" in capsys.readouterr().err
    assert out.read_bytes() == b"the previous embedding"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["e.npy", "x.npy"]  # no temporary left
    monkeypatch.setattr(_files, "embedding_writer", real_writer)
    assert _cli.main(["embed", str(tmp_path / "x.npy"), "-o", str(out), *FAST]) == 0
    assert np.load(out).shape == (40, 2) and out.stat().st_mode & 0o777 == 0o640
    link = tmp_path / "link.npy"
    link.symlink_to(out)
    assert _cli.main(["embed", str(tmp_path / "x.npy"), "-o", str(link), *FAST]) == 0
    assert link.is_symlink() and np.load(out).shape == (40, 2)  # written through the link


def test_parquet_in_and_out(tmp_path, iris_like, capsys):
    pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")
    iris_like.to_parquet(tmp_path / "t.parquet")
    out = tmp_path / "e.parquet"
    assert _cli.main(["embed", str(tmp_path / "t.parquet"), "-o", str(out), "--label-column",
                      "species", *FAST]) == 0
    emb = pd.read_parquet(out)
    assert list(emb.columns) == ["umap0", "umap1"] and len(emb) == 90
    iris_like.to_csv(tmp_path / "t.csv", index=False)
    rc, from_csv = embed(tmp_path, tmp_path / "t.csv", "--label-column", "species")
    assert rc == 0 and np.array_equal(emb.to_numpy(np.float32), from_csv)
