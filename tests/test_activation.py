"""lumbrix.nn.activation.Softmax: forward, backward, dtypes."""

import warnings

import numpy as np
import pytest

from lumbrix.nn.activation import Softmax


def reference(z, axis):
    e = np.exp(z - z.max(axis=axis, keepdims=True))
    return e / e.sum(axis=axis, keepdims=True)


@pytest.mark.parametrize("shape, dim", [((5,), -1), ((3, 4), -1), ((3, 4), 0), ((2, 3, 4, 5), 1), ((2, 3, 4), -2)])
def test_forward_matches_reference(shape, dim):
    z = np.random.default_rng(0).normal(size=shape) * 5
    s = Softmax(dim=dim)
    a = s.forward(z)
    np.testing.assert_allclose(a, reference(z, dim), rtol=1e-12)
    assert a is s.A and a.dtype == np.float64


def test_stable_for_large_and_masked_scores():
    z = np.array([[1000.0, 1000.0, -1e10], [-1e10, -1e10, -1e10]], dtype=np.float32)
    a = Softmax().forward(z)
    np.testing.assert_allclose(a, [[0.5, 0.5, 0.0], [1 / 3, 1 / 3, 1 / 3]], rtol=1e-6)


@pytest.mark.parametrize("dim", [-1, 0, 1])
def test_backward_matches_finite_differences(dim):
    rng = np.random.default_rng(1)
    z = rng.normal(size=(3, 4, 2))
    w = rng.normal(size=z.shape)  # loss = sum(w * softmax(z))
    s = Softmax(dim=dim)
    s.forward(z)
    grad = s.backward(w)
    numeric = np.zeros_like(z)
    eps = 1e-6
    for i in np.ndindex(z.shape):
        d = np.zeros_like(z)
        d[i] = eps
        numeric[i] = ((w * reference(z + d, dim)).sum() - (w * reference(z - d, dim)).sum()) / (2 * eps)
    np.testing.assert_allclose(grad, numeric, rtol=1e-6, atol=1e-9)


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_same_dtype_out_as_in(dtype):
    z = np.random.default_rng(2).normal(size=(4, 6)).astype(dtype)
    s = Softmax()
    a = s.forward(z)
    assert a.dtype == dtype and s.backward(np.ones_like(a)).dtype == dtype
    np.testing.assert_allclose(a.astype(np.float64), reference(z.astype(np.float64), -1), rtol=2e-3)


def test_non_contiguous_input_and_integer_input():
    z = np.arange(24, dtype=np.float64).reshape(4, 6)[:, ::2].T  # strided view
    np.testing.assert_allclose(Softmax().forward(z), reference(z, -1))
    assert Softmax().forward(np.arange(3)).dtype == np.float64


def test_errors():
    s = Softmax()
    with pytest.raises(AttributeError):
        s.backward(np.ones(3))  # no forward yet
    s.forward(np.ones((2, 3)))
    with pytest.raises(ValueError, match="shape"):
        s.backward(np.ones((3, 2)))
    # NumPy's own AxisError: np.exceptions.AxisError from NumPy 1.25, np.AxisError before
    with pytest.raises(getattr(np, "exceptions", np).AxisError):
        Softmax(dim=2).forward(np.ones((2, 3)))
    with pytest.raises(TypeError, match=r"Argument 'dim' has incorrect type \(expected int, got str\)"):
        Softmax(dim="x")


def test_no_warning_from_numpy():
    # NumPy 2 deprecates numpy.core, where NumPy 1 keeps its axis check
    s = Softmax(dim=0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        s.backward(s.forward(np.ones((2, 3))))


def test_python_code_that_resizes_the_arrays(isolated):
    # reading `dim`, and converting an object array, run Python code between
    # measuring the arrays and reading them; it may resize them (in its own
    # interpreter: the fault this guards against reads past the arrays)
    out = isolated("""
        import numpy as np
        from lumbrix.nn.activation import Softmax

        s = Softmax()

        class Dim:
            def __index__(self):
                s.A.resize((400, 500), refcheck=False)
                return -1

        class Shrinking:
            def __float__(self):
                s.A.resize((1,), refcheck=False)
                return 1.0

        shrinking = np.empty((4, 5), object)
        shrinking.flat = [Shrinking() for _ in range(20)]
        for name, dLdA in [("dim", np.ones((4, 5))), ("elements", shrinking)]:
            s.dim = -1
            s.forward(np.ones((4, 5)))
            s.dim = Dim() if name == "dim" else -1
            try:
                s.backward(dLdA)
            except ValueError as e:
                print(name, e)
    """)
    assert out.splitlines() == [
        "dim dLdA must have the shape of the last forward output (400, 500), got (4, 5)",
        "elements an array changed size while the softmax was computed"]
