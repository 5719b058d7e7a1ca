"""The version shims of src/binding/compat.h, through the test-only
_compatcheck extension."""

import warnings

import pytest
import torch

import _compatcheck


# PyTorch 1.13's CPU autocast has no float16 (entering it raises there);
# 2.x has one, slower than float32: the CPU gets float32 on every version
TRAINING_DTYPE = {"cpu": torch.float32, "cuda": torch.float16}


def test_training_runs_in_the_device_s_dtype_without_warning_or_error(device):
    # whether the CPU has float16 autocast depends on the version
    assert device == "cpu" or _compatcheck.fp16_autocast_supported(device)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with _compatcheck.fp16_autocast(device):
            out = torch.nn.Linear(4, 4).to(device)(torch.randn(2, 4, device=device))
    assert out.dtype == TRAINING_DTYPE[device]


def test_unknown_device_type_has_no_autocast():
    assert not _compatcheck.fp16_autocast_supported("nonesuch")


@pytest.mark.parametrize("device, expected", [("cpu", "cpu"), ("cuda:1", "cuda")])
def test_device_type(device, expected):
    assert _compatcheck.device_type(device) == expected


# a disabled scaler's state (every CPU run, and PyTorch 1.13 always) and an
# enabled one's (a CUDA run, or a CPU run of PyTorch 2.x that scaled)
@pytest.mark.parametrize("saved", [{}, {"scale": 65536.0, "growth_factor": 2.0, "backoff_factor": 0.5,
                                        "growth_interval": 2000, "_growth_tracker": 0}],
                         ids=["disabled", "enabled"])
def test_cpu_grad_scaler_is_off_and_loads_either_state(saved):
    scaler = _compatcheck.grad_scaler("cpu")
    assert not scaler.is_enabled()
    scaler.load_state_dict(saved)
    assert scaler.state_dict() == {}


def test_cpu_grad_scaler_warns_nothing_and_passes_gradients_through():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        scaler = _compatcheck.grad_scaler("cpu")
    w = torch.nn.Parameter(torch.ones(3))
    opt = torch.optim.SGD([w], lr=1.0)
    scaler.scale((w * 2).sum()).backward()
    scaler.step(opt)
    scaler.update()
    assert torch.allclose(w.detach(), torch.full((3,), -1.0))
