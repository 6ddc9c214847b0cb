"""Fuzzing the module's Python surface with Hypothesis.

Random argument counts, types, sizes and buffers go into every method.
Only the documented exceptions may come out, and a call that raises must not
have written to any buffer. Work parameters (trees, iterations, epochs) stay
small so that accepted calls finish quickly; the size checks are what is being
probed. The default profile is short; HYPOTHESIS_PROFILE=long runs many more
examples.
"""

import os

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import _native_vornik as m  # noqa: E402

settings.register_profile("ci", max_examples=150, deadline=None,
                          suppress_health_check=list(HealthCheck))
settings.register_profile("long", max_examples=5000, deadline=None,
                          suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

ALLOWED = (TypeError, ValueError, OverflowError, BufferError)
INT_MAX = 2**31 - 1

DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.float16, np.int32, np.uint32, np.float32,
          np.int64, np.uint64, np.float64, np.complex64, np.complex128, "U1", object]

beyond_int = st.sampled_from([2**31, -(2**31) - 1, 2**63, -(2**64), 10**30])
size_ints = st.one_of(st.sampled_from([-(2**31), -1, 0, 1, 2, 3, 4, 5, 8, INT_MAX]),
                      st.integers(-3, 12), beyond_int)
work_ints = st.one_of(st.sampled_from([-(2**31), -1, 0, 1, 2, 3]), beyond_int)
seeds = st.one_of(st.integers(-(2**70), 2**70), st.just(-1))
floats = st.one_of(st.floats(allow_nan=True, allow_infinity=True, width=64),
                   st.sampled_from([1e-50, 1e300, -1e300, 0.0, -0.0]))
rates = st.one_of(st.floats(min_value=-10.0, max_value=20.0), st.sampled_from([float("nan"), 0.0]))
junk = st.one_of(st.none(), st.text(max_size=3), st.binary(max_size=8), st.lists(st.integers(), max_size=3),
                 st.integers(), st.floats())


def numpy_buffers(count):
    """Arrays of every dtype and layout with a length around count items."""
    lengths = sorted({max(0, c) for c in (0, count - 1, count, count + 1, 2 * count)})

    @st.composite
    def build(draw):
        dtype = draw(st.sampled_from(DTYPES))
        length = draw(st.sampled_from(lengths)) if count < 10**7 else draw(st.integers(0, 8))
        arr = np.zeros(length, dtype=dtype)
        if dtype not in ("U1", object) and length:
            arr = (np.arange(length) % 5).astype(dtype)
        layout = draw(st.sampled_from(["c", "fortran", "strided", "readonly", "bytes",
                                       "bytearray", "memoryview"]))
        if layout == "fortran" and length >= 2 and length % 2 == 0:
            return np.asfortranarray(arr.reshape(2, length // 2))
        if layout == "strided":
            return np.repeat(arr, 2)[::2]
        if layout == "readonly":
            arr.flags.writeable = False
        if layout == "bytes":
            return arr.tobytes() if arr.dtype != object else b""
        if layout == "bytearray":
            return bytearray(arr.tobytes() if arr.dtype != object else b"")
        if layout == "memoryview" and arr.dtype not in (object,) and arr.dtype.kind != "U":
            return memoryview(arr)
        return arr

    return build()


@st.composite
def epochs_per_sample(draw, count):
    """Sampling periods, or buffers refused for their item size.

    Tiny positive periods (such as int32 bits read as float) ask for billions
    of negative samples per edge: legal, but not something a test can wait for.
    """
    if draw(st.booleans()):
        return draw(numpy_buffers(count).filter(
            lambda a: not (isinstance(a, np.ndarray) and a.dtype in (np.int32, np.uint32))
            and not isinstance(a, (bytes, bytearray, memoryview))))
    values = st.sampled_from([-1.0, 0.0, 0.5, 1.0, 2.5, 1e30, float("nan")])
    length = draw(st.sampled_from([count, max(0, count - 1), count + 1]))
    return np.array(draw(st.lists(values, min_size=length, max_size=length)), np.float32)


def snapshot(args):
    """Bytes of every writable buffer among args."""
    out = []
    for a in args:
        if isinstance(a, np.ndarray) and a.flags.writeable and a.dtype != object:
            out.append((a, a.tobytes()))
        elif isinstance(a, bytearray):
            out.append((a, bytes(a)))
    return out


def call_and_check(method, args, allowed=ALLOWED):
    before = snapshot(args)
    try:
        method(*args)
    except allowed:
        for buf, data in before:
            current = buf.tobytes() if isinstance(buf, np.ndarray) else bytes(buf)
            assert current == data, "a failing call wrote to a buffer"


def sized(n, k):
    try:
        return int(n) * int(k) if 0 < n < 2**31 and 0 < k < 2**31 else 4
    except TypeError:
        return 4


@given(st.data())
def test_knn_descent_surface(data):
    n, d, k = data.draw(size_ints), data.draw(size_ints), data.draw(size_ints)
    args = [data.draw(numpy_buffers(sized(n, d))), data.draw(numpy_buffers(sized(n, k))),
            data.draw(numpy_buffers(sized(n, k))), n, d, k, data.draw(work_ints),
            data.draw(work_ints), data.draw(seeds), data.draw(size_ints), data.draw(work_ints)]
    call_and_check(m.knn_descent_f32, args)


def controls():
    """A control block: None, or buffers of any kind around two items."""
    return st.one_of(st.none(), numpy_buffers(2),
                     st.sampled_from([2, 3]).map(lambda c: np.zeros(c, np.int64)))


@given(st.data())
def test_knn_descent_ctl_surface(data):
    n, d, k = data.draw(size_ints), data.draw(size_ints), data.draw(size_ints)
    args = [data.draw(numpy_buffers(sized(n, d))), data.draw(numpy_buffers(sized(n, k))),
            data.draw(numpy_buffers(sized(n, k))), n, d, k, data.draw(work_ints),
            data.draw(work_ints), data.draw(seeds), data.draw(size_ints), data.draw(work_ints),
            data.draw(work_ints), data.draw(controls())]
    call_and_check(m.knn_descent_f32_ctl, args)


@given(st.data())
def test_umap_graph_surface(data):
    n, k = data.draw(size_ints), data.draw(size_ints)
    flat = sized(n, k)
    args = [data.draw(numpy_buffers(flat)), data.draw(numpy_buffers(flat))]
    args += [data.draw(numpy_buffers(2 * flat)) for _ in range(3)] + [n, k]
    call_and_check(m.umap_graph_f32, args, ALLOWED + (MemoryError,))


@given(st.data())
def test_umap_layout_surface(data):
    n, dim = data.draw(size_ints), data.draw(size_ints)
    n_epochs = data.draw(st.one_of(st.sampled_from([-1, 0, 1, 2, 3]), beyond_int))
    n_edges = data.draw(st.integers(0, 6))
    vertex_ids = np.int32 if data.draw(st.booleans()) else None
    head = data.draw(numpy_buffers(n_edges))
    tail = data.draw(numpy_buffers(n_edges))
    if vertex_ids is not None:  # plausible edge lists too, ids possibly out of range
        head = np.array(data.draw(st.lists(st.integers(-2, 6), min_size=n_edges, max_size=n_edges)), np.int32)
        tail = np.array(data.draw(st.lists(st.integers(-2, 6), min_size=n_edges, max_size=n_edges)), np.int32)
    args = [data.draw(numpy_buffers(sized(n, dim))), head, tail, data.draw(epochs_per_sample(n_edges)),
            n, dim, n_epochs, data.draw(floats), data.draw(floats), data.draw(floats),
            data.draw(floats), data.draw(rates), data.draw(seeds), data.draw(work_ints)]
    method = data.draw(st.sampled_from(["plain", "ctl", "parts"]))
    if method == "plain":
        call_and_check(m.umap_layout_euclidean_f32, args)
    elif method == "ctl":
        call_and_check(m.umap_layout_euclidean_f32_ctl, args + [data.draw(controls())])
    else:
        parts_args = args[:-1] + [data.draw(size_ints), data.draw(work_ints), args[-1]]
        call_and_check(m.umap_layout_euclidean_f32_parts, parts_args + [data.draw(controls())])


@given(st.sampled_from(["knn_descent_f32", "umap_graph_f32", "umap_layout_euclidean_f32",
                        "knn_descent_f32_ctl", "umap_layout_euclidean_f32_ctl",
                        "umap_layout_euclidean_f32_parts"]),
       st.lists(junk, max_size=16))
def test_any_argument_tuple_is_parsed_or_refused(name, args):
    call_and_check(getattr(m, name), args)
