"""The version shims of src/common/compat.h, through the test-only
_compatcheck extension."""

import warnings

import pytest
import torch

import _compatcheck


def test_autocast_on_the_cpu_runs_without_warning_or_error():
    # PyTorch 1.13's CPU autocast has no float16: entering it raises there
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with _compatcheck.fp16_autocast("cpu"):
            out = torch.nn.Linear(4, 4)(torch.randn(2, 4))
    expected = torch.float16 if _compatcheck.fp16_autocast_supported("cpu") else torch.float32
    assert out.dtype == expected


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
