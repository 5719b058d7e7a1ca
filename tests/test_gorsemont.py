"""lumbrix.nn.gorsemont.ScaledDotProductAttention: forward, backward, NumPy's rules."""

import numpy as np
import pytest

from lumbrix.nn import gorsemont
from lumbrix.nn.activation import Softmax
from lumbrix.nn.gorsemont import ScaledDotProductAttention


def swap_last(x):
    return x.transpose(*range(x.ndim - 2), -1, -2)


def reference(Q, K, V, mask, d_output):
    """The operator's steps written with NumPy: (output, A, d_Q, d_K, d_V)."""
    softmax = Softmax(dim=-1)
    scores = Q @ swap_last(K)
    scores /= np.sqrt(K.shape[-1])
    if mask is not None:
        scores = np.where(mask, -1e10, scores)
    A = softmax.forward(scores)
    d_scaled = softmax.backward(d_output @ swap_last(V)) / np.sqrt(K.shape[-1])
    return A @ V, A, d_scaled @ K, swap_last(d_scaled) @ Q, swap_last(A) @ d_output


def run(Q, K, V, mask=None, d_output=None, op=None):
    op = op or ScaledDotProductAttention()
    out = op.forward(Q, K, V, mask)
    if d_output is None:
        d_output = np.random.default_rng(9).standard_normal(out.shape).astype(out.dtype)
    return (out, op.attention_scores, *op.backward(d_output)), d_output


def arrays(*shapes, dtype=np.float64, seed=0):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal(s).astype(dtype) for s in shapes]


def causal(n, m=None):
    return np.triu(np.ones((n, m or n), dtype=bool), k=1)


def assert_matches_reference(Q, K, V, mask=None, rtol=1e-10):
    got, d_output = run(Q, K, V, mask)
    want = reference(Q, K, V, mask, d_output)
    for name, g, w in zip(("output", "attention_scores", "d_Q", "d_K", "d_V"), got, want):
        assert type(g) is type(w) and g.shape == w.shape and g.dtype == w.dtype, name
        np.testing.assert_allclose(g, w, rtol=rtol, atol=rtol * np.abs(w).max(), err_msg=name)


def test_attributes_and_stored_inputs():
    op = ScaledDotProductAttention()
    assert ScaledDotProductAttention.__doc__ == "Scaled Dot Product Attention"
    assert ScaledDotProductAttention.__bases__ == (object,)
    assert op.eps == 1e10 and type(op.softmax) is Softmax and op.softmax.dim == -1
    assert gorsemont.np is np and gorsemont.Softmax is Softmax
    Q, K, V = arrays((3, 4), (5, 4), (5, 2))
    before = [x.copy() for x in (Q, K, V)]
    out = op.forward(Q=Q, K=K, V=V)
    assert op.Q is Q and op.K is K and op.V is V and op.attention_scores is op.softmax.A
    assert out.shape == (3, 2)
    for x, b in zip((Q, K, V), before):  # no caller array is modified
        np.testing.assert_array_equal(x, b)


CASES = {
    "2-D": ((6, 4), (7, 4), (7, 3), None),
    "2-D causal": ((7, 4), (7, 4), (7, 5), causal(7)),
    "3-D key mask": ((2, 5, 8), (2, 6, 8), (2, 6, 3), np.array([False, True, False, False, True, False])),
    "4-D causal": ((2, 3, 9, 4), (2, 3, 9, 4), (2, 3, 9, 6), causal(9)),
    "4-D per-head mask": ((2, 3, 5, 4), (2, 3, 6, 4), (2, 3, 6, 2), np.arange(18).reshape(1, 3, 1, 6) % 4 == 0),
    "4-D query mask": ((2, 3, 5, 4), (2, 3, 6, 4), (2, 3, 6, 2), np.arange(5).reshape(5, 1) == 2),
    "keys shared by heads": ((2, 3, 5, 4), (2, 1, 6, 4), (1, 3, 6, 2), causal(5, 6)),
    "fewer axes on K": ((2, 3, 5, 4), (6, 4), (3, 6, 2), None),
    "threaded, many heads": ((4, 8, 64, 32), (4, 8, 64, 32), (4, 8, 64, 16), causal(64)),
    "threaded, one large matrix": ((300, 48), (260, 48), (260, 40), causal(300, 260)),
}


@pytest.mark.parametrize("dtype, rtol", [(np.float64, 1e-10), (np.float32, 2e-5)])
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_matches_numpy_steps(case, dtype, rtol):
    *shapes, mask = case
    assert_matches_reference(*arrays(*shapes, dtype=dtype), mask, rtol=rtol)


def test_strided_views_and_other_operand_kinds():
    Q, K, V = arrays((2, 5, 8), (2, 4, 6), (2, 6, 3))
    K_t = swap_last(K)  # column-major matrices
    assert_matches_reference(Q[:, :, ::2], K_t, V, causal(5, 6))  # every other column
    assert_matches_reference(Q[:, ::-1, :4], np.asfortranarray(K_t), V[::-1], None)
    assert_matches_reference(Q[:, :, :4], K_t, V, causal(5, 6).astype(np.int64))  # mask by truth
    assert_matches_reference(Q[:, :, :4], K_t, V, causal(5, 6).tolist())
    assert_matches_reference(Q[:, :, :4], K_t, np.arange(36).reshape(2, 6, 3))  # integer V


@pytest.mark.parametrize("dtypes", [(np.float16,) * 3, (np.float32, np.float32, np.float64)])
@pytest.mark.parametrize("mask", [None, causal(3, 5)])
def test_other_dtypes_follow_numpy(dtypes, mask):
    # float16 scores become float32 under a mask: NumPy's np.where(mask, -1e10, scores)
    Q, K, V = (x.astype(t) for x, t in zip(arrays((3, 4), (5, 4), (5, 2)), dtypes))
    assert_matches_reference(Q, K, V, mask, rtol=1e-2)


def test_subclass_runs_numpys_path_with_the_same_results():
    class Tagged(np.ndarray):
        pass

    Q, K, V = arrays((2, 3, 6, 4), (2, 3, 6, 4), (2, 3, 6, 5))
    plain, d_output = run(Q, K, V, causal(6))
    tagged, _ = run(Q.view(Tagged), K.view(Tagged), V.view(Tagged), causal(6), d_output.view(Tagged))
    for i, (p, t) in enumerate(zip(plain, tagged)):
        assert type(t) is (np.ndarray if i == 1 else Tagged)  # Softmax returns plain arrays
        np.testing.assert_allclose(np.asarray(t), p, rtol=1e-12, atol=1e-14)


class RecordingSoftmax(Softmax):
    """A user's softmax: records what the operator hands it."""

    def forward(self, Z):
        self.Z = Z.copy()
        return super().forward(Z)

    def backward(self, dLdA):
        self.dLdA = dLdA.copy()
        return super().backward(dLdA)


@pytest.mark.parametrize("width", [4, 6])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_scores_scaled_then_masked_by_replacement(dtype, width):
    Q, K, V = arrays((2, 3, width), (2, 5, width), (2, 5, 2), dtype=dtype)
    Q[0, 0, 0] = 1e12  # masked scores are -1e10 whatever they were
    mask = np.zeros((3, 5), dtype=bool)
    mask[0, 1] = mask[2, 4] = True
    op = ScaledDotProductAttention()
    op.softmax = RecordingSoftmax(dim=-1)
    op.forward(Q, K, V, mask)
    expected = Q @ swap_last(K)
    # rounded as the running NumPy rounds: NumPy 2 divides float32 by the
    # float64 root in float64, NumPy 1 by the root rounded to float32
    expected /= np.sqrt(width)
    if width == 4:
        np.testing.assert_array_equal(expected, (Q @ swap_last(K)) / dtype(2))
    expected[:, mask] = dtype(-1e10)
    np.testing.assert_array_equal(op.softmax.Z, expected)
    assert op.softmax.Z.dtype == dtype and op.attention_scores is op.softmax.A


def test_mask_none_equals_all_false_mask():
    Q, K, V = arrays((2, 4, 3), (2, 6, 3), (2, 6, 5))
    none, d_output = run(Q, K, V, None)
    all_false, _ = run(Q, K, V, np.zeros((4, 6), dtype=bool), d_output)
    for a, b in zip(none, all_false):
        np.testing.assert_array_equal(a, b)


def test_backward_uses_the_last_forward():
    first = arrays((3, 4), (5, 4), (5, 2), seed=1)
    second = arrays((6, 4), (7, 4), (7, 3), seed=2)
    op = ScaledDotProductAttention()
    op.forward(*first)
    out = op.forward(*second)
    d_output = np.ones_like(out)
    d_Q, d_K, d_V = op.backward(d_output)
    assert (d_Q.shape, d_K.shape, d_V.shape) == ((6, 4), (7, 4), (7, 3))
    np.testing.assert_allclose(d_Q, reference(*second, None, d_output)[2], rtol=1e-12)


def test_gradients_match_finite_differences_with_a_mask():
    Q, K, V = arrays((2, 4, 3), (2, 5, 3), (2, 5, 2), seed=3)
    mask = causal(4, 5)
    W = np.random.default_rng(4).standard_normal((2, 4, 2))  # loss = sum(W * output)

    def loss(q, k, v):
        return float((ScaledDotProductAttention().forward(q, k, v, mask) * W).sum())

    op = ScaledDotProductAttention()
    op.forward(Q, K, V, mask)
    grads = op.backward(W)
    for which, grad in enumerate(grads):
        inputs = [Q, K, V]
        numeric = np.zeros_like(inputs[which])
        for i in np.ndindex(numeric.shape):
            plus, minus = [x.copy() for x in inputs], [x.copy() for x in inputs]
            plus[which][i] += 1e-6
            minus[which][i] -= 1e-6
            numeric[i] = (loss(*plus) - loss(*minus)) / 2e-6
        np.testing.assert_allclose(grad, numeric, rtol=1e-6, atol=1e-8, err_msg="QKV"[which])


def test_integer_queries_and_keys_fail_at_the_scaling():
    Q, K, V = np.ones((3, 4), dtype=np.int64), np.ones((5, 4), dtype=np.int64), np.ones((5, 2))
    op = ScaledDotProductAttention()
    with pytest.raises(TypeError, match="Cannot cast ufunc 'divide' output"):
        op.forward(Q, K, V)
    assert op.Q is Q and op.K is K and op.V is V and not hasattr(op, "attention_scores")


def test_errors():
    op = ScaledDotProductAttention()
    with pytest.raises(AttributeError, match="attention_scores"):
        op.backward(np.ones((2, 2)))
    Q, K, V = arrays((2, 3, 4), (2, 6, 5), (2, 6, 2))
    with pytest.raises(ValueError, match=r"^Q @ K\^T: Q of shape \(2, 3, 4\) and K of shape \(2, 6, 5\) do not fit \(matmul"):
        op.forward(Q, K, V)
    assert op.K is K
    with pytest.raises(ValueError, match=r"^attention_scores @ V: .* V of shape \(2, 5, 2\) do not fit"):
        op.forward(Q, K[..., :4], V[:, :5])
    with pytest.raises(ValueError, match=r"^mask of shape \(4,\) does not broadcast to the scores' shape \(2, 3, 6\)"):
        op.forward(Q, K[..., :4], V, np.zeros(4, dtype=bool))
    out = op.forward(Q, K[..., :4], V)
    with pytest.raises(ValueError, match=r"^attention_scores\^T @ d_output: .* d_output of shape \(2, 4, 2\)"):
        op.backward(np.ones((2, 4, 2)))
    assert op.backward(np.ones_like(out))[0].shape == Q.shape
    with pytest.raises(ValueError, match=r"^K\^T: K of shape \(4,\) has fewer than two axes"):
        op.forward(np.ones(4), np.ones(4), np.ones(4))
    with pytest.raises(TypeError):
        op.forward(Q, K)
    with pytest.raises(TypeError):
        op.backward()
    with pytest.raises(TypeError):
        ScaledDotProductAttention(1)


def test_eps_is_read_once_and_only_under_a_mask():
    reads = []

    class Counting(ScaledDotProductAttention):
        @property
        def eps(self):
            reads.append(1)
            return self.__dict__["eps"]

        @eps.setter
        def eps(self, value):
            self.__dict__["eps"] = value

    Q, K, V = arrays((2, 3, 4), (2, 5, 4), (2, 5, 2))
    for eps, mask, count in [(1e10, None, 0), (1e10, causal(3, 5), 1), (10**10, causal(3, 5), 1)]:
        op = Counting()
        op.eps = eps
        reads.clear()
        np.testing.assert_allclose(op.forward(Q, K, V, mask), reference(Q, K, V, mask, V[:, :3])[0])
        assert len(reads) == count


def test_eps_that_resizes_the_inputs(isolated):
    # read before any pointer into Q and K is taken (in its own interpreter:
    # the fault this guards against reads freed memory)
    out = isolated("""
        import numpy as np
        from lumbrix.nn.gorsemont import ScaledDotProductAttention

        Q, K, V = (np.random.default_rng(0).random((16, 128, 128)) for _ in range(3))

        class Resizing(ScaledDotProductAttention):
            @property
            def eps(self):
                Q.resize((1,), refcheck=False)
                K.resize((1,), refcheck=False)
                return 1e10

            @eps.setter
            def eps(self, value):
                pass

        try:
            Resizing().forward(Q, K, V, np.zeros((128, 128), bool))
        except ValueError as e:
            print(e)
    """)
    assert out.startswith("K^T: K of shape (1,) has fewer than two axes")


def _forward_in_child(queue, args):
    out = ScaledDotProductAttention().forward(*args)
    queue.put((out @ np.ones((out.shape[-1], 300))).sum(axis=-1))  # NumPy's threaded BLAS too


def test_forked_child_does_not_hang_on_threads_of_the_parent():
    import multiprocessing
    import queue

    args = arrays((8, 8, 64, 32), (8, 8, 64, 32), (8, 8, 64, 32))
    expected = ScaledDotProductAttention().forward(*args)  # the parent's threads start
    context = multiprocessing.get_context("fork")
    results = context.Queue()
    child = context.Process(target=_forward_in_child, args=(results, args))
    child.start()
    try:
        got = results.get(timeout=60)
    except queue.Empty:
        got = None
    finally:
        child.join(timeout=10)
        if child.is_alive():
            child.kill()
    assert got is not None, "the forked child hung"
    np.testing.assert_allclose(got, (expected @ np.ones((32, 300))).sum(axis=-1), rtol=1e-6)
