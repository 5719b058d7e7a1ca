"""The version shims of src/common/compat.h, through the test-only
_compatcheck extension."""

import warnings

import pytest
import torch

import _compatcheck


def test_cpu_training_runs_in_float32_without_warning_or_error():
    # PyTorch 1.13's CPU autocast has no float16 (entering it raises there);
    # 2.x has one, slower than float32: the CPU gets float32 on every version
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with _compatcheck.fp16_autocast("cpu"):
            out = torch.nn.Linear(4, 4)(torch.randn(2, 4))
    assert out.dtype == torch.float32


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_autocast_on_cuda_is_float16():
    assert _compatcheck.fp16_autocast_supported("cuda")
    with _compatcheck.fp16_autocast("cuda"):
        out = torch.nn.Linear(4, 4).cuda()(torch.randn(2, 4, device="cuda"))
    assert out.dtype == torch.float16


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
