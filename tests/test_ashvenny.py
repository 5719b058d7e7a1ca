import pytest
import torch

from corvantis.model import ashvenny, fallowmere
from corvantis.model.ashvenny import SelfAttentionEncoderLayer

KEYS = ["self_attn.mha.in_proj_weight", "self_attn.mha.in_proj_bias",
        "self_attn.mha.out_proj.weight", "self_attn.mha.out_proj.bias", "self_attn.norm.weight",
        "self_attn.norm.bias", "ffn.ffn.0.weight", "ffn.ffn.0.bias", "ffn.ffn.3.weight",
        "ffn.ffn.3.bias", "ffn.norm.weight", "ffn.norm.bias"]


def test_layout_and_state_dict():
    assert ashvenny.SelfAttentionLayer is fallowmere.SelfAttentionLayer
    assert ashvenny.FeedForwardLayer is fallowmere.FeedForwardLayer
    layer = SelfAttentionEncoderLayer(16, 4, 32)
    assert list(layer.state_dict()) == KEYS
    assert [n for n, _ in layer.named_children()] == ["self_attn", "ffn"]
    assert SelfAttentionEncoderLayer.__doc__.splitlines()[1] == \
        "    Pre-LN Encoder Layer with self-attention mechanism."
    assert SelfAttentionEncoderLayer.forward.__doc__.splitlines()[1:3] == [
        "        Forward pass for the EncoderLayer.", "        Args:"]


@pytest.mark.parametrize("dropout, expected", [((), 0.1), ((0,), 0.0), ((0.3,), 0.3)])
def test_dropout_reaches_sublayers(dropout, expected):
    layer = SelfAttentionEncoderLayer(16.0, 4, 32, *dropout)
    rates = {layer.self_attn.dropout.p, layer.self_attn.mha.dropout, layer.ffn.dropout.p,
             layer.ffn.ffn[2].p}
    assert rates == {expected} and all(type(r) is float for r in rates)
    assert layer.self_attn.norm.normalized_shape == (16,)


@pytest.mark.parametrize("args, name, got", [
    (("256", 4, 1024), "d_model", "str"),
    ((256, [4], 1024), "num_heads", "list"),
    ((256, 4, None), "d_ff", "NoneType"),
])
def test_type_errors_name_first_bad_argument(args, name, got):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected int, got {got}\)$"):
        SelfAttentionEncoderLayer(*args)


def test_forward_calls_and_masks(record_calls):
    torch.manual_seed(0)
    layer = SelfAttentionEncoderLayer(16, 4, 32).eval()
    attn = record_calls(layer, "self_attn")
    x = torch.randn(2, 6, 16)
    out, weights = layer(x)
    (args, kwargs), = attn.calls
    assert len(args) == 1 and args[0] is x and kwargs == {"key_padding_mask": None}
    assert out.shape == x.shape and weights.shape == (2, 6, 6)
    assert torch.all(weights > 0)  # every key visible without a mask

    mask = torch.tensor([[False] * 4 + [True] * 2, [False] * 6])
    out, weights = layer(x, key_padding_mask=mask)
    assert torch.all(weights[0, :, 4:] == 0)
    assert torch.isfinite(out[0, 4:]).all() and out[0, 4:].abs().sum() > 0
    again, _ = layer(x, key_padding_mask=mask)
    assert torch.equal(out, again)


def test_sublayer_classes_looked_up_at_construction(monkeypatch):
    class Marked(fallowmere.FeedForwardLayer):
        pass

    monkeypatch.setattr(ashvenny, "FeedForwardLayer", Marked)
    assert type(SelfAttentionEncoderLayer(8, 2, 16).ffn) is Marked
