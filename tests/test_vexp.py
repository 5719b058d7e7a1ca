"""The vectorizable exp behind Softmax (src/domain/vexp.h), through the
test-only _vexpcheck extension: error in units of the last place over the
whole finite range, subnormal results included, and the special values."""

import numpy as np
import pytest

import _vexpcheck

CASES = [(np.float32, _vexpcheck.exp32, -110, 90), (np.float64, _vexpcheck.exp64, -750, 712)]


@pytest.mark.parametrize("dtype, exp, lo, hi", CASES, ids=["float32", "float64"])
def test_within_two_ulp_of_the_exact_value(dtype, exp, lo, hi):
    x = np.concatenate([np.linspace(lo, hi, 400_001),
                        np.random.default_rng(0).uniform(-1, 1, 100_000)]).astype(dtype)
    exact = np.exp(x.astype(np.longdouble))
    with np.errstate(over="ignore"):
        rounded = exact.astype(dtype)
    got = exp(x)
    finite = np.isfinite(rounded)
    np.testing.assert_array_equal(got[~finite], rounded[~finite])  # overflow to inf
    ulp = np.spacing(rounded[finite]).astype(np.longdouble)
    assert np.max(np.abs(got[finite] - exact[finite]) / ulp) <= 2


@pytest.mark.parametrize("dtype, exp", [c[:2] for c in CASES], ids=["float32", "float64"])
def test_special_values(dtype, exp):
    x = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, -1e10, 1e10, 1.0], dtype=dtype)
    got = exp(x)
    assert np.isnan(got[0])
    np.testing.assert_array_equal(got[1:7], [np.inf, 0, 1, 1, 0, np.inf])
    assert abs(got[7] - np.e) <= np.spacing(dtype(np.e))
