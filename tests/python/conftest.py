"""Shared helpers for the Python tests of _native_vornik."""

import array
import os

# One of scikit-learn's estimator checks runs with array-API dispatch on, which
# SciPy allows only when this is set before it is first imported.
os.environ.setdefault("SCIPY_ARRAY_API", "1")

import numpy as np
import pytest


def bits(a):
    """The raw 32-bit patterns of a 4-byte array, for bit-for-bit comparisons."""
    return np.ascontiguousarray(a).view(np.uint32)


# Under AddressSanitizer freed memory sits in quarantine, so resident-size
# bounds say nothing there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


# Cases that need gigabytes of memory or minutes run only when asked for
# (CI asks): the everyday command stays light.
HEAVY = os.environ.get("VORNIK_HEAVY_TESTS", "") not in ("", "0")


def pytest_collection_modifyitems(config, items):
    if HEAVY:
        return
    skip = pytest.mark.skip(reason="heavy: runs with VORNIK_HEAVY_TESTS=1")
    for item in items:
        if "heavy" in item.keywords:
            item.add_marker(skip)


def assert_views_released(*arrays):
    """An array.array refuses to resize while a buffer view of it is held."""
    for a in arrays:
        a.append(a[0] if len(a) else 0)
        a.pop()


@pytest.fixture
def int_array():
    return lambda n, value=0: array.array("i", [value] * n)


@pytest.fixture
def float_array():
    return lambda n, value=0.0: array.array("f", [value] * n)
