import copy
import math

import pytest
import torch

from corvantis.model import caddrel
from corvantis.model.caddrel import Conv2DSubsampling, SpeechEmbedding, StackedBLSTMEmbedding
from corvantis.utils.summary import summary

FACTORS = {1: (1, 1), 2: (2, 1), 4: (2, 2), 6: (3, 2), 7: (7, 1), 8: (4, 2), 12: (4, 3),
           16: (4, 4), 13: (13, 1)}


@pytest.fixture(scope="module")
def stages():
    torch.manual_seed(0)
    return [StackedBLSTMEmbedding(4, 8, 6, time_reduction=1), Conv2DSubsampling(8, 4),
            SpeechEmbedding(8, 4)]


def test_module_layout():
    assert caddrel.__test__ == {}
    assert caddrel.summary is summary
    assert caddrel.SpeechEmbedding.__doc__ is None


@pytest.mark.parametrize("n", sorted(FACTORS))
def test_closest_factors(stages, n):
    assert all(s.closest_factors(n) == FACTORS[n] for s in stages)


def test_closest_factors_errors(stages):
    with pytest.raises(ZeroDivisionError):
        stages[0].closest_factors(0)
    with pytest.raises(TypeError, match="complex"):
        stages[1].closest_factors(-4)


# ---- StackedBLSTMEmbedding ----------------------------------------------------

def test_blstm_layout():
    b = StackedBLSTMEmbedding(80, 256, 128, time_reduction=6)
    assert (b.stride1, b.stride2) == (3, 2)
    assert b.pool1_params == {"kernel_size": 3, "stride": 3, "padding": 0, "dilation": 1}
    assert list(b.pool2_params) == ["kernel_size", "stride", "padding", "dilation"]
    assert [n for n, _ in b.named_children()] == ["blstm1", "blstm2", "pool1", "pool2",
                                                  "linear_embed", "dropout"]
    assert (b.blstm1.input_size, b.blstm1.hidden_size, b.blstm2.input_size) == (80, 128, 256)
    assert b.blstm1.bidirectional and b.blstm1.batch_first and b.blstm1.num_layers == 1
    assert (b.pool1.kernel_size, b.pool1.stride, b.pool2.kernel_size) == (3, 3, 2)
    assert b.dropout.p == 0.1
    assert {k.split(".")[0] for k in b.state_dict()} == {"blstm1", "blstm2", "linear_embed"}


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(input_dim="80"), TypeError, r"^Argument 'input_dim' has incorrect type \(expected int, got str\)$"),
    (dict(time_reduction=None), TypeError, r"^Argument 'time_reduction' has incorrect type \(expected int, got NoneType\)$"),
    (dict(output_dim=0, dropout=2.0), ValueError, r"^All dimension values must be positive$"),
    (dict(dropout=1.0), ValueError, r"^Dropout rate must be between 0 and 1$"),
    (dict(dropout=math.nan), ValueError, r"^Dropout rate must be between 0 and 1$"),
    (dict(hidden_dim=7), ValueError, r"hidden_dim must be even"),
])
def test_blstm_argument_errors(kwargs, error, message):
    args = dict(input_dim=4, hidden_dim=8, output_dim=6, time_reduction=2, dropout=0.1)
    args.update(kwargs)
    with pytest.raises(error, match=message):
        StackedBLSTMEmbedding(**args)


def test_blstm_lengths_and_shapes():
    torch.manual_seed(0)
    b = StackedBLSTMEmbedding(4, 8, 6, time_reduction=6, dropout=0).eval()
    x = torch.randn(3, 40, 4)
    out, lengths = b(x, torch.tensor([30.0, 40.0, 12.0]))  # unsorted, float, all below T
    assert out.shape == (3, 40 // 3 // 2, 6)
    assert lengths.dtype == torch.int64 and lengths.tolist() == [5, 6, 2]
    assert b.calculate_downsampled_length(torch.tensor([1000, 5, 6])).tolist() == [166, 0, 1]
    # packing: each utterance sees only its own frames, batch order kept
    for i, n in enumerate([30, 40, 12]):
        alone, _ = b(x[i:i + 1, :n], torch.tensor([n]))
        assert torch.allclose(out[i, :alone.size(1)], alone[0], atol=1e-6)


def test_blstm_factor_one_keeps_lengths():
    b = StackedBLSTMEmbedding(4, 8, 6, time_reduction=1)
    out, lengths = b(torch.randn(2, 7, 4), torch.tensor([7, 3], dtype=torch.int32))
    assert out.shape == (2, 7, 6) and lengths.dtype == torch.int64 and lengths.tolist() == [7, 3]


def test_pool_output_length_rules():
    b = StackedBLSTMEmbedding(4, 8, 6)
    params = {"kernel_size": 3, "stride": 2, "padding": 1, "dilation": 2}
    assert b.calculate_pool_output_length(torch.tensor([10.0, 3.0]), params).tolist() == [4, 1]
    assert b.calculate_pool_output_length(torch.tensor([10.0]), params).dtype == torch.int64

    class Params(dict):
        pass

    with pytest.raises(TypeError, match=r"^Argument 'pool_params' has incorrect type \(expected dict, got Params\)$"):
        b.calculate_pool_output_length(torch.tensor([4]), Params(params))
    with pytest.raises(KeyError, match="padding"):
        b.calculate_pool_output_length(torch.tensor([4]), {"kernel_size": 2})
    with pytest.raises(KeyError, match="stride"):
        b.calculate_pool_output_length(torch.tensor([4]), {"kernel_size": 2, "padding": 0, "dilation": 1})


# ---- Conv2DSubsampling ----------------------------------------------------------

@pytest.mark.parametrize("time_reduction, kernel, strides, frames", [
    (2, 3, (2, 1), 497), (6, 3, (3, 2), 166), (1, 3, (1, 1), 996), (2, 5, (2, 1), 494)])
def test_conv_layout_and_lengths(time_reduction, kernel, strides, frames):
    c = Conv2DSubsampling(80, 16, time_reduction=time_reduction, kernel_size=kernel)
    assert (c.kernel_size, c.time_stride1, c.time_stride2) == (kernel, *strides)
    assert c.linear_out.in_features == (80 - 2 * (kernel - 1)) * 16
    assert [type(m).__name__ for m in c.conv] == ["Conv2d", "GELU", "Conv2d", "GELU"]
    assert c.conv[0].stride == (strides[0], 1) and c.conv[2].kernel_size == (kernel, kernel)
    assert list(c.state_dict()) == ["conv.0.weight", "conv.0.bias", "conv.2.weight",
                                    "conv.2.bias", "linear_out.weight", "linear_out.bias"]
    assert c.calculate_downsampled_length(1000, *strides) == frames


def test_conv_forward_and_length_dtypes():
    c = Conv2DSubsampling(80, 16)
    assert Conv2DSubsampling(80, 256).linear_out.in_features == 19456
    out, lengths = c(torch.randn(2, 30, 80), torch.tensor([30, 2]))
    assert out.shape == (2, 12, 16) and lengths.dtype == torch.int64
    assert lengths.tolist() == [12, -2]  # no clamping
    floats = c.calculate_downsampled_length(torch.tensor([1000.0]), 2, 1)
    assert floats.dtype == torch.float32 and floats.tolist() == [497.0]
    assert c.calculate_downsampled_length(torch.tensor([9], dtype=torch.int32), 2.7, True).dtype == torch.int32
    with pytest.raises(TypeError, match=r"^Argument 'stride2' has incorrect type \(expected int, got str\)$"):
        c.calculate_downsampled_length(10, 1, "1")
    with pytest.raises(ZeroDivisionError):
        Conv2DSubsampling(80, 16, time_reduction=0)


def test_conv_float32_gradients_match_float64():
    # the last GELU receives a transposed gradient; float32 must still agree
    torch.manual_seed(0)
    c = Conv2DSubsampling(20, 16)
    c64 = copy.deepcopy(c).double()
    x = torch.randn(3, 30, 20)
    lengths = torch.tensor([30, 30, 30])
    c(x.requires_grad_(), lengths)[0].pow(2).sum().backward()
    x64 = x.detach().double().requires_grad_()
    c64(x64, lengths)[0].pow(2).sum().backward()
    pairs = [(p.grad, q.grad) for p, q in zip(c.parameters(), c64.parameters())] + [(x.grad, x64.grad)]
    for g32, g64 in pairs:
        assert torch.allclose(g32.double(), g64, rtol=1e-4, atol=1e-5 * g64.abs().max().item())


# ---- SpeechEmbedding ------------------------------------------------------------

@pytest.mark.parametrize("method, reduction, cnn_strides, pools, lstm_input", [
    ("lstm", 6, None, (3, 2), 80),
    ("conv", 6, (3, 2), None, None),
    ("both", 6, (2, 1), (3, 1), 256),
    ("both", 1, (1, 1), (1, 1), 256),
    ("both", 7, (1, 1), (7, 1), 256),
])
def test_speech_stages(method, reduction, cnn_strides, pools, lstm_input):
    s = SpeechEmbedding(80, 256, time_reduction=reduction, reduction_method=method)
    assert (s.embedding_dim, s.reduction_method) == (256, method)
    assert list(vars(s)).index("embedding_dim") < list(vars(s)).index("reduction_method")
    keys = list(s.state_dict())
    if cnn_strides is None:
        assert s.cnn is None and all(k.startswith("blstm.") for k in keys)
    else:
        assert (s.cnn.time_stride1, s.cnn.time_stride2) == cnn_strides
    if pools is None:
        assert s.blstm is None and all(k.startswith("cnn.") for k in keys)
    else:
        assert (s.blstm.stride1, s.blstm.stride2) == pools
        assert s.blstm.blstm1.input_size == lstm_input
    if cnn_strides and pools:
        assert keys[0].startswith("cnn.") and keys[-1].startswith("blstm.")


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(input_dim=0, dropout=5.0), ValueError, r"^All dimension values must be positive$"),
    (dict(output_dim=-1), ValueError, r"^All dimension values must be positive$"),
    (dict(input_dim=0.5), ValueError, r"^All dimension values must be positive$"),
    (dict(time_reduction=0), ValueError, r"^All dimension values must be positive$"),
    (dict(dropout=-0.1), ValueError, r"^Dropout rate must be between 0 and 1$"),
    (dict(dropout=math.nan, reduction_method="x"), ValueError, r"^Dropout rate must be between 0 and 1$"),
    (dict(reduction_method="LSTM"), ValueError, r"^reduction_method must be 'conv', 'lstm', or 'both'$"),
    (dict(reduction_method=""), ValueError, r"^reduction_method must be 'conv', 'lstm', or 'both'$"),
    (dict(reduction_method=None), TypeError, r"^Argument 'reduction_method' has incorrect type \(expected str, got NoneType\)$"),
    (dict(reduction_method=type("S", (str,), {})("lstm")), TypeError, r"expected str, got S\)$"),
    (dict(output_dim="a", reduction_method=None), TypeError, r"^Argument 'output_dim' has incorrect"),
])
def test_speech_argument_errors(kwargs, error, message):
    args = dict(input_dim=8, output_dim=4)
    args.update(kwargs)
    with pytest.raises(error, match=message):
        SpeechEmbedding(**args)


def test_speech_argument_conversion():
    s = SpeechEmbedding(80, 256.9, reduction_method="both", dropout=0)
    assert s.embedding_dim == 256 and type(s.embedding_dim) is int
    assert s.cnn.dropout.p == s.blstm.dropout.p == 0.0 and type(s.cnn.dropout.p) is float
    assert SpeechEmbedding(8, 4, dropout=0.999).blstm.dropout.p == 0.999


@pytest.mark.parametrize("method", ["lstm", "conv", "both"])
def test_speech_forward_matches_length_rule(method):
    torch.manual_seed(0)
    s = SpeechEmbedding(12, 8, time_reduction=4, reduction_method=method)
    lengths = torch.tensor([60, 45, 33])
    out, out_len = s(torch.randn(3, 60, 12), lengths)
    assert out.shape[-1] == 8 and out.shape[:2] == (3, out_len.max().item())
    assert torch.equal(out_len, s.calculate_downsampled_length(lengths))


# ---- self-tests -------------------------------------------------------------------

def test_get_inputs():
    x, lengths = caddrel.get_inputs(80, 1000.0, 10)
    assert x.shape == (10, 1000, 80) and x.dtype == torch.float32
    assert lengths.dtype == torch.float32 and lengths.tolist() == [1000.0] * 10
    x, lengths = caddrel.get_inputs(4, 0, 2)
    assert x.shape == (2, 0, 4) and lengths.tolist() == [0.0, 0.0]
    with pytest.raises(TypeError, match=r"^Argument 'max_length' has incorrect type \(expected int, got str\)$"):
        caddrel.get_inputs(4, "0", 2)


def last_line(capsys):
    return capsys.readouterr().out.strip().splitlines()[-1]


@pytest.mark.parametrize("test, arg, printed", [
    ("test_caddrel_lstm", (), "tensor([" + ", ".join(["500"] * 10) + "])"),
    ("test_caddrel_lstm", (6,), "tensor([" + ", ".join(["166"] * 10) + "])"),
])
def test_self_tests_full_size(capsys, test, arg, printed):
    assert getattr(caddrel, test)(*arg) is None
    out = capsys.readouterr().out
    assert "SpeechEmbedding" in out and "Total params" in out  # the summary table
    assert out.strip().splitlines()[-1] == printed


@pytest.mark.parametrize("test, printed", [
    ("test_caddrel_conv", "tensor([497., 497.])"), ("test_caddrel_both", "tensor([498, 498])")])
def test_self_tests_conv_stages(monkeypatch, capsys, test, printed):
    # the counts do not depend on the batch; two utterances keep the convolutions quick
    real = caddrel.get_inputs
    monkeypatch.setattr(caddrel, "get_inputs", lambda d, n, b: real(d, n, 2))
    getattr(caddrel, test)()
    assert last_line(capsys) == printed


def test_self_test_errors_before_printing(capsys):
    with pytest.raises(ValueError, match="All dimension values must be positive"):
        caddrel.test_caddrel_both(0)
    with pytest.raises(TypeError, match=r"Argument 'time_reduction' has incorrect type"):
        caddrel.test_caddrel_conv("2")
    assert capsys.readouterr().out == ""
