"""Writes checkpoint pickles (data.pkl of torch.save's zip format) as fuzzing
seeds for checkpoint_fuzz.cpp: a trainer-like record, state dicts, shared
tensors and views, and the shapes the bounds refuse (deep nesting, shared
references that expand, empty containers in bulk, a storage larger than its
record)."""

import io
import os
import sys
import zipfile

import torch


def data_pkl(obj):
    buffer = io.BytesIO()
    torch.save(obj, buffer)
    with zipfile.ZipFile(buffer) as z:
        return next(z.read(n) for n in z.namelist() if n.endswith("/data.pkl"))


def records():
    torch.manual_seed(0)
    linear = torch.nn.Linear(3, 2)
    opt = torch.optim.Adam(linear.parameters(), lr=0.01)
    linear(torch.randn(1, 3)).sum().backward()
    opt.step()
    yield "record", {"epoch": 3, "model_state_dict": linear.state_dict(),
                     "optimizer_state_dict": opt.state_dict(), "scheduler_state_dict": None,
                     "scaler_state_dict": {"scale": 65536.0, "_growth_tracker": 0},
                     "best_metric": 0.25,
                     "training_history": [{"epoch": 0, "train": {"loss": 2.5}, "lr": 0.01}],
                     "config": {"training": {"use_wandb": False}, "data": {"num_feats": 80}}}
    x = torch.arange(8.0)
    yield "shared", {"a": x, "b": x, "view": x[2:5], "t": x.view(2, 4).t()}
    yield "parameter", {"p": torch.nn.Parameter(torch.ones(3)), "i": torch.arange(4)}
    yield "plain", {"a": [1, (2, 3), {"b": None}], "big": 2 ** 80, "s": "é", "f": -0.0}


def hostile():
    yield "deep", b"\x80\x02" + b"]" * 200 + b"a" * 199 + b"."
    yield "deep_tuple", b"\x80\x02K\x01" + b"\x85" * 200 + b"."
    doubling = b"\x80\x02]q\x00" + b"".join(
        b"]" + b"h" + bytes([i]) + b"a" + b"h" + bytes([i]) + b"aq" + bytes([i + 1])
        for i in range(40)) + b"."
    yield "expand", doubling
    yield "empty_sets", b"\x80\x04]" + b"(" + b"\x8f" * 4000 + b"e."
    yield "storage_claim", (b"\x80\x02(X\x07\x00\x00\x00storagectorch\nFloatStorage\n"
                            b"X\x01\x00\x00\x000X\x03\x00\x00\x00cpuJ\x80\x96\x98\x00tQ.")
    yield "self", b"\x80\x02]q\x00h\x00a."


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    for name, obj in records():
        with open(os.path.join(out_dir, name + ".pkl"), "wb") as f:
            f.write(data_pkl(obj))
    for name, data in hostile():
        with open(os.path.join(out_dir, name + ".pkl"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "seeds")
