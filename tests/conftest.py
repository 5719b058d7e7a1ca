"""Shared fixtures. The report header names the BLAS that PyTorch loaded."""

import os

import pytest


def _loaded_blas():
    import torch

    a = torch.ones(64, 64)
    (a @ a).sum()  # make sure the BLAS is loaded
    with open(f"/proc/{os.getpid()}/maps") as maps:
        libs = {line.split()[-1] for line in maps if "blas" in line.lower()}
    return ", ".join(sorted(libs)) or "none found"


def pytest_report_header(config):
    blas = _loaded_blas()
    if "openblas-pthread" in blas:
        note = "  (pthreads OpenBLAS: its threads fight PyTorch's OpenMP pool; select openblas-openmp)"
    elif "openblas" not in blas:
        note = "  (reference BLAS: matrix products run ~50x slower)"
    else:
        note = ""
    return f"BLAS: {blas}{note}"


@pytest.fixture
def tokenizer():
    from corvantis.data.tokenizer import ZelTokenizer

    return ZelTokenizer()


class IdTokenizer:
    """Ids chosen by the test: encode looks the text up in a table."""

    pad_id, sos_id, eos_id = 0, 1, 2

    def __init__(self, table):
        self.table = table

    def encode(self, text):
        return list(self.table[text])


@pytest.fixture
def id_tokenizer():
    """IdTokenizer({"text": [ids], ...}), for tests that fix the ids themselves."""
    return IdTokenizer


class _Recorder(__import__("torch").nn.Module):
    """Stands in for a child module: records each call, then delegates to it."""

    def __init__(self, inner):
        super().__init__()
        self.inner = inner
        self.calls = []

    def forward(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.inner(*args, **kwargs)


@pytest.fixture
def record_calls():
    """record_calls(module, "child") replaces module.child by a recorder and returns it."""

    def wrap(module, name):
        recorder = _Recorder(getattr(module, name))
        setattr(module, name, recorder)
        return recorder

    return wrap
