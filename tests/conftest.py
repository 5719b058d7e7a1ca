"""Shared fixtures. The report header names the BLAS that PyTorch loaded."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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


# cpu everywhere, cuda where this machine has a CUDA device
DEVICES = ["cpu"] + (["cuda"] if __import__("torch").cuda.is_available() else [])


@pytest.fixture(params=DEVICES)
def device(request):
    """Each device type of this machine in turn: "cpu", then "cuda" where present."""
    return request.param


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


@pytest.fixture
def isolated(tmp_path):
    """isolated(code) runs code in a fresh interpreter and returns what it printed, so that a
    crash or a hang fails the test instead of ending the test run."""

    def run(code, timeout=60):
        path = os.pathsep.join([ROOT, os.path.join(ROOT, "tests"), os.environ.get("PYTHONPATH", "")])
        try:
            done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path,
                                  env=dict(os.environ, PYTHONPATH=path), capture_output=True,
                                  text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            pytest.fail(f"still running after {timeout} s")
        if done.returncode < 0:
            pytest.fail(f"killed by {signal.Signals(-done.returncode).name}\n{done.stderr[-4000:]}")
        assert done.returncode == 0, done.stderr[-4000:]
        return done.stdout

    return run
