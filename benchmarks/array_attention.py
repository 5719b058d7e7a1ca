"""lumbrix.nn.gorsemont.ScaledDotProductAttention against the same algorithm in NumPy.

Forward plus backward with a causal mask, for (batch, heads, length, width)
inputs of (8, 8, 128, 64) and (32, 4, 256, 64), in float32 and float64. The
NumPy version below is the operator's algorithm step by step, its softmax
written in NumPy too; NumPy runs on the BLAS it was built against (OpenBLAS
as scripts/install-deps.sh sets it up), which is printed first.

Before timing, both sides' output and three gradients must agree within 1e-6
relative (largest difference over the largest magnitude). The goal is a
NumPy/native time ratio of at least 1.5 in every case.

Usage: /usr/bin/python3 benchmarks/array_attention.py [--repeat 15]
"""

import argparse
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import numpy as np  # noqa: E402

from lumbrix.nn.gorsemont import ScaledDotProductAttention  # noqa: E402

SHAPES = [(8, 8, 128, 64), (32, 4, 256, 64)]
DTYPES = [np.float32, np.float64]
GOAL, TOLERANCE = 1.5, 1e-6


class NumpySoftmax:
    def __init__(self, dim=-1):
        self.dim = dim

    def forward(self, Z):
        e = np.exp(Z - Z.max(axis=self.dim, keepdims=True))
        self.A = e / e.sum(axis=self.dim, keepdims=True)
        return self.A

    def backward(self, dLdA):
        A = self.A
        return A * (dLdA - (dLdA * A).sum(axis=self.dim, keepdims=True))


def swap_last(x):
    return x.transpose(*range(x.ndim - 2), -1, -2)


class NumpyAttention:
    def __init__(self):
        self.eps = 1e10
        self.softmax = NumpySoftmax(dim=-1)

    def forward(self, Q, K, V, mask=None):
        self.V, self.K, self.Q = V, K, Q
        d_k = K.shape[-1]
        scores = Q @ swap_last(K)
        scores /= np.sqrt(d_k)
        if mask is not None:
            scores = np.where(mask, -self.eps, scores)
        self.attention_scores = self.softmax.forward(scores)
        return self.attention_scores @ V

    def backward(self, d_output):
        A = self.attention_scores
        d_V = swap_last(A) @ d_output
        d_attention_scores = d_output @ swap_last(self.V)
        d_scaled = self.softmax.backward(d_attention_scores) / np.sqrt(self.K.shape[-1])
        d_Q = d_scaled @ self.K
        d_K = swap_last(d_scaled) @ self.Q
        return d_Q, d_K, d_V


def loaded_blas():
    np.ones((64, 64)) @ np.ones((64, 64))
    with open(f"/proc/{os.getpid()}/maps") as maps:
        libs = {line.split()[-1] for line in maps if "blas" in line.lower()}
    return ", ".join(sorted(libs)) or "none found"


def inputs(shape, dtype):
    rng = np.random.default_rng(0)
    q, k, v, d = (rng.standard_normal(shape).astype(dtype) for _ in range(4))
    length = shape[-2]
    causal = np.triu(np.ones((length, length), dtype=bool), k=1)
    return q, k, v, causal, d


def step(op, q, k, v, mask, d):
    out = op.forward(q, k, v, mask)
    return (out, *op.backward(d))


def relative_difference(a, b):
    return float(np.max(np.abs(a.astype(np.float64) - b)) / np.max(np.abs(b)))


def check(shape, dtype):
    args = inputs(shape, dtype)
    native = step(ScaledDotProductAttention(), *args)
    reference = step(NumpyAttention(), *args)
    worst = 0.0
    for name, a, b in zip(("output", "d_Q", "d_K", "d_V"), native, reference):
        if a.shape != b.shape or a.dtype != b.dtype:
            sys.exit(f"{name}: {a.shape} {a.dtype} against {b.shape} {b.dtype}")
        worst = max(worst, relative_difference(a, b))
    if worst > TOLERANCE:
        sys.exit(f"{shape} {np.dtype(dtype).name}: results differ by {worst:.2e} relative")
    return worst


def timed(op, args):
    start = time.perf_counter()
    step(op, *args)
    return time.perf_counter() - start


def measure(shape, dtype, repeat):
    args = inputs(shape, dtype)
    native, reference = ScaledDotProductAttention(), NumpyAttention()
    timed(native, args), timed(reference, args)  # warm-up
    ratios, native_times, reference_times = [], [], []
    for _ in range(repeat):  # interleaved, so load changes hit both sides
        t_native, t_reference = timed(native, args), timed(reference, args)
        native_times.append(t_native)
        reference_times.append(t_reference)
        ratios.append(t_reference / t_native)
    return statistics.median(native_times), statistics.median(reference_times), statistics.median(ratios)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    print(f"NumPy {np.__version__}, BLAS: {loaded_blas()}")
    print(f"{'shape':<18} {'dtype':<8} {'native ms':>10} {'NumPy ms':>10} {'ratio':>7} {'rel. diff':>10}")
    met = True
    for shape in SHAPES:
        for dtype in DTYPES:
            worst = check(shape, dtype)
            t_native, t_reference, ratio = measure(shape, dtype, args.repeat)
            met &= ratio >= GOAL
            print(f"{str(shape):<18} {np.dtype(dtype).name:<8} {t_native * 1e3:>10.2f} "
                  f"{t_reference * 1e3:>10.2f} {ratio:>6.2f}x {worst:>10.1e}")
    print(f"goal: NumPy/native >= {GOAL} in every case: {'met' if met else 'NOT met'}")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
