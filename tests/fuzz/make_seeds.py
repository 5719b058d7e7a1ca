"""Writes valid .npy files of every layout the reader supports, as fuzzing seeds."""

import os
import sys

import numpy as np


def seeds():
    rng = np.random.default_rng(0)
    for descr in ["<f4", ">f4", "<f2", ">f8", "<i2", ">u4", "|i1", "|u1", "|b1", "<i8"]:
        a = (rng.standard_normal((3, 5)) * 9).astype(descr)
        yield f"c_{descr[1:]}_{'be' if descr[0] == '>' else 'le'}", a
        yield f"f_{descr[1:]}_{'be' if descr[0] == '>' else 'le'}", np.asfortranarray(a)
    yield "u1d", np.array(list("HELLO"))
    yield "u0d", np.array("HELLO WORLD")
    yield "ube", np.array(list("ABC")).astype(">U1")
    yield "s1d", np.array([b"AB", b"C"])
    yield "u2d", np.array([["A", "B"], ["C", "D"]])
    yield "empty", np.zeros((80, 0), np.float32)


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    for name, array in seeds():
        for version in [(1, 0), (2, 0), (3, 0)]:
            path = os.path.join(out_dir, f"{name}_v{version[0]}.npy")
            with open(path, "wb") as f:
                np.lib.format.write_array(f, array, version=version)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "seeds")
