"""Out-of-memory paths of the module, reached by a preloaded failing malloc."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

HERE = Path(__file__).parent

pytestmark = pytest.mark.skipif(
    shutil.which("cc") is None or "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="needs a C compiler and the plain allocator")


@pytest.fixture(scope="module")
def preload(tmp_path_factory):
    lib = tmp_path_factory.mktemp("preload") / "malloc_fail.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", str(lib),
                    str(HERE / "malloc_fail_preload.c")], check=True)
    return lib


SCRIPT = textwrap.dedent("""
    import array, ctypes, sys
    import _native_vornik as m
    fail = ctypes.CDLL(sys.argv[1]).vornik_fail_malloc
    n, k = 1237, 3
    idx = array.array("i", [(i // k + 1 + i % k) % n for i in range(n * k)])
    dist = array.array("f", [1.0 + i % k for i in range(n * k)])
    outs = [array.array(t, [7] * (2 * n * k)) for t in "iif"]
    # sigmas and rhos (n floats), then rows, cols, vals and tmp_dists (n*k each)
    for size, count in ((4 * n, 2), (4 * n * k, 4)):
        for nth in range(1, count + 1):
            fail(size, nth)
            try:
                m.umap_graph_f32(idx, dist, *outs, n, k)
                raise AssertionError(f"no MemoryError for allocation {nth} of {size} bytes")
            except MemoryError:
                pass
            finally:
                fail(0, 0)
            assert all(v == 7 for o in outs for v in o), "outputs written"
            for a in (idx, dist, *outs):        # every view released
                a.append(a[0]); a.pop()
    fail(4 * n * k, 2)  # the threaded kernel's second row-sized scratch array
    try:
        m.umap_graph_f32_parallel(idx, dist, *outs, n, k, 2)
        raise AssertionError("no MemoryError from the threaded graph")
    except MemoryError:
        pass
    finally:
        fail(0, 0)
    assert all(v == 7 for o in outs for v in o), "outputs written"
    m.umap_graph_f32(idx, dist, *outs, n, k)
    assert any(v != 7 for v in outs[2])
    print("ok")
""")


def run_with_failing_malloc(script, preload):
    env = dict(os.environ, LD_PRELOAD=str(preload))
    proc = subprocess.run([sys.executable, "-c", script, str(preload)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_scratch_exhaustion_raises_memory_error_with_outputs_untouched(preload):
    run_with_failing_malloc(SCRIPT, preload)


MEMBERSHIP_SCRIPT = textwrap.dedent("""
    import array, ctypes, sys
    import _native_vornik as m
    fail = ctypes.CDLL(sys.argv[1]).vornik_fail_malloc
    n, k = 1237, 3
    idx = array.array("i", [(i * 7) % 500 for i in range(n * k)])
    dist = array.array("f", [1.0 + i % k for i in range(n * k)])
    vals = array.array("f", [7.0] * (n * k))
    # sigmas and rhos (n floats), then rows and cols (n*k each)
    for size, count in ((4 * n, 2), (4 * n * k, 2)):
        for nth in range(1, count + 1):
            fail(size, nth)
            try:
                m.umap_query_memberships_f32(idx, dist, vals, n, k)
                raise AssertionError(f"no MemoryError for allocation {nth} of {size} bytes")
            except MemoryError:
                pass
            finally:
                fail(0, 0)
            assert all(v == 7.0 for v in vals), "outputs written"
            for a in (idx, dist, vals):
                a.append(a[0]); a.pop()
    m.umap_query_memberships_f32(idx, dist, vals, n, k)
    assert vals[0] == 1.0
    print("ok")
""")


def test_membership_scratch_exhaustion_raises_memory_error_with_vals_untouched(preload):
    run_with_failing_malloc(MEMBERSHIP_SCRIPT, preload)
