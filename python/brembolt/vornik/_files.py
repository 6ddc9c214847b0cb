"""The command line's files: tables and arrays in, embeddings and pictures out.

Reading never trusts a file's own claims: a .npy header's shape is checked
against the bytes that follow it before anything is allocated, text is
scanned for overlong lines and binary bytes before a parser sees it, and a
bad cell is quoted by at most QUOTE_CHARS characters. Writing never touches a
file the run reads (by identity, not by spelling), and each output appears
whole or not at all: it is written to a temporary file beside its target and
renamed into place.
"""

from __future__ import annotations

import csv
import os
import re
import tempfile
import warnings
import zipfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np

TEXT_SUFFIXES = (".csv", ".tsv", ".txt")
PARQUET_SUFFIXES = (".parquet", ".pq")
INPUT_SUFFIXES = (".npy", ".npz") + TEXT_SUFFIXES + PARQUET_SUFFIXES
OUTPUT_SUFFIXES = (".npy", ".csv", ".parquet")
# A text line longer than this is refused before parsing: no table of
# numbers has such lines, and a file without newlines would be read whole.
MAX_LINE_BYTES = 16 << 20
QUOTE_CHARS = 40
# Delimiters tried, in order of preference when several fit every line
# sampled (a semicolon table often has decimal commas).
DELIMITERS = ("\t", ";", ",")
SNIFF_LINES, SNIFF_BYTES = 20, 256 << 10
SCAN_CHUNK = 1 << 20


def quote(cell) -> str:
    """A cell as an error message shows it: repr, at most QUOTE_CHARS characters."""
    text = str(cell)
    return repr(text) if len(text) <= QUOTE_CHARS else repr(text[:QUOTE_CHARS]) + "..."


# ---------------------------------------------------------------------------
# Arrays: .npy and .npz
# ---------------------------------------------------------------------------


def _read_npy_header(f, where: str, available: int):
    """(shape, fortran_order, dtype) of a .npy stream, checked against its bytes."""
    fmt = np.lib.format
    try:
        version = fmt.read_magic(f)
        read = fmt.read_array_header_1_0 if version == (1, 0) else fmt.read_array_header_2_0
        shape, fortran, dtype = read(f)
    except (ValueError, EOFError, SyntaxError) as exc:
        raise ValueError(f"{where} is not a NumPy array file ({one_line(exc, 200)})") from None
    if dtype.hasobject:
        raise ValueError(f"{where} holds Python objects, which are not loaded")
    need = int(np.prod(shape, dtype=object)) * dtype.itemsize
    have = available - f.tell()
    if need > have:
        raise ValueError(f"{where}: its header promises an array of shape {shape} "
                         f"({_size(need)}), but the file holds {_size(max(have, 0))} of data")
    return shape, fortran, dtype


def _size(n: int) -> str:
    for unit, scale in (("TiB", 2**40), ("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if n >= scale:
            return f"{n / scale:.1f} {unit}"
    return f"{n} bytes"


def load_npy(path: Path) -> np.ndarray:
    with open(path, "rb") as f:
        _read_npy_header(f, str(path), os.fstat(f.fileno()).st_size)
    return np.load(path, allow_pickle=False)


def load_npz(path: Path, key: str | None) -> np.ndarray:
    try:
        archive = zipfile.ZipFile(path)
    except zipfile.BadZipFile:
        raise ValueError(f"{path} is not an .npz archive") from None
    with archive:
        members = {name[:-4]: name for name in archive.namelist() if name.endswith(".npy")}
        if not members:
            raise ValueError(f"{path} holds no arrays")
        if key is not None and key not in members:
            raise ValueError(f"{path} has no array {quote(key)} (it has {', '.join(members)})")
        name = members[key or next(iter(members))]
        where = f"{path}[{name[:-4]}]"
        with archive.open(name) as f:
            _read_npy_header(f, where, archive.getinfo(name).file_size)
        with archive.open(name) as f:
            try:
                return np.lib.format.read_array(f, allow_pickle=False)
            except (ValueError, zipfile.BadZipFile, EOFError) as exc:
                raise ValueError(f"{where} cannot be read ({one_line(exc, 200)})") from None


# ---------------------------------------------------------------------------
# Text
# ---------------------------------------------------------------------------


def check_text(path: Path) -> None:
    """Refuses binary bytes and lines longer than MAX_LINE_BYTES, reading in chunks."""
    since, line, offset = 0, 1, 0
    with open(path, "rb") as f:
        while chunk := f.read(SCAN_CHUNK):
            nul = chunk.find(b"\0")
            if nul >= 0:
                raise ValueError(f"{path} is not text (a NUL byte at offset {offset + nul})")
            first = chunk.find(b"\n")
            if since + (len(chunk) if first < 0 else first) > MAX_LINE_BYTES:
                raise ValueError(f"{path}, line {line}: longer than {MAX_LINE_BYTES >> 20} MiB; "
                                 "a table has one row per line")
            if first < 0:
                since += len(chunk)
            else:
                line += chunk.count(b"\n")
                since = len(chunk) - 1 - chunk.rfind(b"\n")
            offset += len(chunk)


def _data_lines(path: Path):
    """(line number, text) of the lines a table is read from: no blank or comment-only line."""
    with open(path, encoding="utf-8-sig", errors="replace") as f:
        for number, line in enumerate(f, start=1):
            if line.split("#", 1)[0].strip():
                yield number, line.rstrip("\r\n")


def _sample(path: Path) -> list[str]:
    lines, size = [], 0
    for _, text in _data_lines(path):
        lines.append(text)
        size += len(text)
        if len(lines) >= SNIFF_LINES or (size >= SNIFF_BYTES and len(lines) >= 2):
            break
    return lines


def _fields(lines: list[str], delimiter: str) -> list[list[str]]:
    limit = csv.field_size_limit(MAX_LINE_BYTES + 1)  # a cell may fill a whole line
    try:
        return [[c.strip() for c in row] for row in
                csv.reader((ln.split("#", 1)[0] for ln in lines), delimiter=delimiter,
                           skipinitialspace=True)]
    finally:
        csv.field_size_limit(limit)


def sniff_delimiter(lines: list[str]) -> str:
    """The delimiter that splits every sampled line into the same number (> 1) of fields."""
    for delimiter in DELIMITERS:
        widths = {len(row) for row in _fields(lines, delimiter)}
        if len(widths) == 1 and widths.pop() > 1:
            return delimiter
    # Lines of different widths (a bad line, or a wrong guess): the delimiter
    # that splits most lines into more than one field.
    def split_lines(delimiter):
        return sum(len(row) > 1 for row in _fields(lines, delimiter))

    best = max(DELIMITERS, key=split_lines)
    return best if split_lines(best) else ","


_DECIMAL_COMMA = re.compile(r"^[-+]?\d+,\d+(?:[eE][-+]?\d+)?$")
_DECIMAL_POINT = re.compile(r"^[-+]?\d*\.\d+(?:[eE][-+]?\d+)?$")


def _decimal(rows: list[list[str]], delimiter: str) -> str:
    if delimiter == ",":
        return "."
    cells = [c for row in rows for c in row]
    commas = sum(bool(_DECIMAL_COMMA.match(c)) for c in cells)
    return "," if commas > sum(bool(_DECIMAL_POINT.match(c)) for c in cells) else "."


def _is_number(cell: str, decimal: str) -> bool:
    try:
        float(cell.replace(decimal, ".") if decimal != "." else cell)
    except ValueError:
        return False
    return True


def _looks_like_header(rows: list[list[str]], decimal: str) -> bool:
    """A first line with more named (non-empty, non-number) cells than the second has,
    or pandas' header of an index and unnamed columns (empty, 0, 1, 2, ...)."""
    def named(row):
        return sum(bool(c) and not _is_number(c, decimal) for c in row)

    first = rows[0]
    if len(first) > 1 and first[0] == "" and first[1:] == [str(i) for i in range(len(first) - 1)]:
        return True
    return named(first) > (named(rows[1]) if len(rows) > 1 else 0)


@dataclass
class TableOptions:
    header: bool | None = None  # None: decided from the first lines
    label_column: str | None = None
    drop_columns: tuple = ()
    index_column: str | None = None
    delimiter: str | None = None  # None: sniffed


@dataclass
class Table:
    features: np.ndarray
    labels: np.ndarray | None
    notes: list  # warnings for the user


def _pandas():
    try:
        import pandas
    except ImportError:
        raise ImportError('reading tables needs pandas: pip install pandas') from None
    return pandas


def read_text_table(path: Path, options: TableOptions):
    """The table of a CSV/TSV file as a DataFrame, and how to name its rows in messages."""
    pd = _pandas()
    check_text(path)
    lines = _sample(path)
    if not lines:
        raise ValueError(f"{path} holds no rows")
    delimiter = options.delimiter or sniff_delimiter(lines)
    rows = _fields(lines, delimiter)
    decimal = _decimal(rows[1:] or rows, delimiter)
    header = _looks_like_header(rows, decimal) if options.header is None else options.header
    try:
        with warnings.catch_warnings():
            # A column of numbers with a bad cell far down comes back mixed;
            # the feature check below names that cell.
            warnings.simplefilter("ignore", pd.errors.DtypeWarning)
            frame = pd.read_csv(path, sep=delimiter, header=0 if header else None, comment="#",
                                skip_blank_lines=True, skipinitialspace=True, decimal=decimal,
                                encoding="utf-8-sig")
    except UnicodeDecodeError as exc:
        raise ValueError(f"{path} is not UTF-8 text (byte {exc.object[exc.start]:#04x} at "
                         f"offset {exc.start} of a block)") from None
    except pd.errors.EmptyDataError:
        raise ValueError(f"{path} holds no rows") from None
    except pd.errors.ParserError as exc:
        found = re.search(r"Expected (\d+) fields in line (\d+), saw (\d+)", str(exc))
        if found:
            want, line, got = found.groups()
            raise ValueError(f"{path}, line {line}: {got} values, the lines before have "
                             f"{want}") from None
        raise ValueError(f"{path} cannot be read as a table ({one_line(exc, 200)})") from None
    return frame, header


def read_parquet_table(path: Path):
    pd = _pandas()
    try:
        return pd.read_parquet(path)
    except ImportError:
        raise ImportError("Parquet files need pyarrow: pip install pyarrow") from None
    except (OSError, ValueError) as exc:
        raise ValueError(f"{path} cannot be read as Parquet ({one_line(exc, 200)})") from None


def _line_of_row(path: Path, row: int, header: bool) -> int | None:
    """The file line of data row `row` (0-based), counting as the reader does."""
    for at, (number, _) in enumerate(_data_lines(path)):
        if at == row + header:
            return number
    return None


class _Where:
    """Names a cell in messages: the file line for text, the row for Parquet."""

    def __init__(self, path: Path, text_header: bool | None):
        self.path, self.text_header = path, text_header

    def cell(self, row: int, column) -> str:
        """Columns by name, or by position counting from 1 in a table without a header."""
        name = quote(column) if self.text_header is not False else str(column + 1)
        if self.text_header is None:
            return f"{self.path}, row {row + 1}, column {name}"
        line = _line_of_row(self.path, row, self.text_header)
        at = f"line {line}" if line is not None else f"row {row + 1}"
        return f"{self.path}, {at}, column {name}"


def _column(frame, name: str, path: Path, what: str):
    """The column called name, or at position name (counting from 1) when none has that name."""
    names = [str(c) for c in frame.columns]
    if name in names and not isinstance(frame.columns[names.index(name)], (int, np.integer)):
        return frame.columns[names.index(name)]
    if re.fullmatch(r"\d+", name) and 1 <= int(name) <= len(names):
        return frame.columns[int(name) - 1]
    shown = ", ".join(quote(n) for n in names[:10]) + (", ..." if len(names) > 10 else "")
    raise ValueError(f"{what} {quote(name)}: {path} has no such column (it has {shown})")


def _index_like(column) -> bool:
    values = column.to_numpy()
    if values.dtype.kind in "iu":
        return values.size < 2 or bool((np.diff(values) > 0).all())
    text = values.dtype.kind in "OUT" or str(column.dtype) in ("str", "string")
    return text and column.is_unique


def table(path: Path, options: TableOptions) -> Table:
    """Features (float array) and labels (or None) of a CSV, TSV or Parquet file."""
    pd = _pandas()
    notes = []
    if path.suffix.lower() in PARQUET_SUFFIXES:
        frame, where = read_parquet_table(path), _Where(path, None)
    else:
        frame, header = read_text_table(path, options)
        where = _Where(path, header)
        if len(frame) == 0:
            raise ValueError(f"{path} holds a header line and no rows of data"
                             + ("" if options.header else " (pass --no-header if it is data)"))
        if options.label_column is not None and not header:
            raise ValueError(f"--label-column {quote(options.label_column)}: {path} has no "
                             "header line naming its columns (pass --header if its first "
                             "line is one)")
    drop = set()
    for option, name in (("--index-column", options.index_column),
                         ("--label-column", options.label_column)):
        if name is not None:
            drop.add(_column(frame, name, path, option))
    for name in options.drop_columns:
        drop.add(_column(frame, name, path, "--drop-columns"))
    first = frame.columns[0] if len(frame.columns) else None
    if (options.index_column is None and first not in drop and len(frame.columns) > 1
            and str(first).startswith("Unnamed: 0") and _index_like(frame[first])):
        drop.add(first)
        notes.append(f"{path}: the first column has no name and looks like a row index: it is "
                     "not used as a feature (give it a name in the header to use it)")
    labels = None
    if options.label_column is not None:
        labels = _labels_of(frame[_column(frame, options.label_column, path, "--label-column")])
    features = frame[[c for c in frame.columns if c not in drop]]
    if features.shape[1] == 0:
        raise ValueError(f"{path} has no feature columns left")
    return Table(_numbers(features, where, pd), labels, notes)


def _labels_of(column) -> np.ndarray:
    values = column.to_numpy()
    if values.dtype.kind not in "biuf":
        values = column.astype(object).where(column.notna(), None).to_numpy(object)
    return values


def _numbers(features, where: _Where, pd) -> np.ndarray:
    """The feature columns as one float array; the first bad or missing cell is an error."""
    for name in features.columns:
        column = features[name]
        if column.dtype.kind in "biuf":
            continue
        numbers = pd.to_numeric(column, errors="coerce")
        bad = numbers.isna() & column.notna()
        row = int(np.argmax(bad.to_numpy()))
        raise ValueError(f"{where.cell(row, name)}: {quote(column.iloc[row])} is not a number "
                         "(a column of labels needs --label-column, others --drop-columns)")
    x = features.to_numpy(dtype=np.float64)
    check_finite(x, lambda r, c: where.cell(r, features.columns[c]))
    return x


def check_finite(x: np.ndarray, where, nan: str = "missing or NaN") -> None:
    """Names the first NaN or infinite value: where(row, column) says where it is."""
    if x.dtype.kind not in "fc":
        return
    with np.errstate(invalid="ignore"):
        bad_rows = ~np.isfinite(x).reshape(x.shape[0], -1).all(axis=1)
    if not bad_rows.any():
        return
    row = int(np.argmax(bad_rows))
    column = int(np.argmax(~np.isfinite(x[row].ravel())))
    value = x[row].ravel()[column]
    kind = nan if np.isnan(value) else "infinite"
    raise ValueError(f"{where(row, column)}: {kind}; the fit needs finite numbers")


# ---------------------------------------------------------------------------
# Labels
# ---------------------------------------------------------------------------


def load_labels(path: Path, header: bool) -> np.ndarray:
    """One label per line of a text file (blank lines and text after '#' skipped),
    or the array of a .npy file, or the one column of a Parquet file."""
    suffix = path.suffix.lower()
    if suffix == ".npy":
        return load_npy(path).ravel()
    if suffix in PARQUET_SUFFIXES:
        frame = read_parquet_table(path)
        if frame.shape[1] != 1:
            raise ValueError(f"{path} has {frame.shape[1]} columns; a labels file has one")
        return _labels_of(frame[frame.columns[0]])
    check_text(path)
    labels = [text.split("#", 1)[0].strip() for _, text in _data_lines(path)]
    return np.array(labels[1:] if header else labels)


# ---------------------------------------------------------------------------
# Writing
# ---------------------------------------------------------------------------


def same_file(a: Path, b: Path) -> bool:
    """Whether two paths name one file: by device and inode when both exist."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def check_output(path: Path, inputs: list[Path]) -> None:
    """Refuses, before any work, an output that would be lost or would destroy an input."""
    for source in inputs:
        if same_file(path, source):
            raise ValueError(f"{path} is also an input ({source}): writing it would destroy "
                             "the data; choose another output")
    target = Path(os.path.realpath(path))
    if target.is_dir():
        raise ValueError(f"{path} is a directory")
    folder = target.parent
    if not folder.is_dir():
        raise ValueError(f"{path}: the directory {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise ValueError(f"{path}: the directory {folder} is not writable")
    if target.exists() and not os.access(target, os.W_OK):
        raise ValueError(f"{path} is not writable")


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def write_atomically(path: Path, write) -> None:
    """write(binary file) into a temporary file beside path, then renamed onto it.

    A symbolic link is written through: the file it points to is replaced.
    The new file keeps the mode of the file it replaces (new files: 0666
    less the umask).
    """
    target = Path(os.path.realpath(path))
    mode = target.stat().st_mode & 0o7777 if target.exists() else 0o666 & ~_umask()
    fd, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def embedding_writer(path: Path, embedding: np.ndarray):
    """The function that writes embedding in the format path's suffix names."""
    suffix = path.suffix.lower()
    if suffix == ".npy":
        return lambda f: np.save(f, embedding)
    if suffix == ".csv":
        return lambda f: np.savetxt(f, embedding, delimiter=",", fmt="%.9g")
    columns = [f"umap{i}" for i in range(embedding.shape[1])]
    return lambda f: _pandas().DataFrame(embedding, columns=columns).to_parquet(f)


def check_output_format(path: Path) -> None:
    suffix = path.suffix.lower()
    if suffix not in OUTPUT_SUFFIXES:
        raise ValueError(f"unsupported output format {path.suffix!r} for {path}: "
                         "use .npy, .csv or .parquet")
    if suffix == ".parquet":
        _pandas()
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise ImportError("Parquet output needs pyarrow: pip install pyarrow") from None


def check_picture_format(path: Path) -> None:
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
    except ImportError:
        raise ImportError('--plot needs matplotlib: pip install "brembolt-vornik[plot]"') from None
    kinds = FigureCanvasAgg.get_supported_filetypes()
    if path.suffix.lower().lstrip(".") not in kinds:
        raise ValueError(f"unsupported picture format {path.suffix!r} for {path}: use one of "
                         + ", ".join("." + k for k in sorted(kinds)))


def one_line(exc: BaseException, limit: int = 300) -> str:
    """An exception's message as one line of at most limit characters."""
    text = " ".join(str(exc).split())
    return text if len(text) <= limit else text[:limit] + "..."

