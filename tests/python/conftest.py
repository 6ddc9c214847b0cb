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
