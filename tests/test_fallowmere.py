import pytest
import torch

from corvantis.model import fallowmere
from corvantis.model.fallowmere import CrossAttentionLayer, FeedForwardLayer, SelfAttentionLayer

ATTENTION_KEYS = ["mha.in_proj_weight", "mha.in_proj_bias", "mha.out_proj.weight",
                  "mha.out_proj.bias", "norm.weight", "norm.bias"]


def test_module_layout():
    names = [n for n in vars(fallowmere) if n in ("SelfAttentionLayer", "FeedForwardLayer",
                                                  "CrossAttentionLayer")]
    assert names == ["SelfAttentionLayer", "FeedForwardLayer", "CrossAttentionLayer"]
    assert fallowmere.__test__ == {}
    assert SelfAttentionLayer.__doc__.startswith(
        "Pre-LN Decoder Sub-Layer 1: Causally-masked self-attention.")
    assert CrossAttentionLayer.__doc__.startswith(
        "Pre-LN Decoder Sub-Layer 2: Cross-attention (Query from decoder, K/V from encoder).")
    assert FeedForwardLayer.__doc__.startswith(
        "Pre-LN Decoder Sub-Layer 3: Position-wise feed-forward network.")


@pytest.mark.parametrize("make, keys", [
    (lambda: SelfAttentionLayer(8, 2), ATTENTION_KEYS),
    (lambda: CrossAttentionLayer(8, 2), ATTENTION_KEYS),
    (lambda: FeedForwardLayer(8, 32),
     ["ffn.0.weight", "ffn.0.bias", "ffn.3.weight", "ffn.3.bias", "norm.weight", "norm.bias"]),
])
def test_state_dict_keys(make, keys):
    layer = make()
    assert isinstance(layer, torch.nn.Module)
    assert list(layer.state_dict()) == keys


def test_children_settings():
    att = SelfAttentionLayer(8, 2, 0.25)
    assert (att.mha.embed_dim, att.mha.num_heads, att.mha.dropout, att.mha.batch_first) == (8, 2, 0.25, True)
    assert att.mha.in_proj_bias is not None and att.mha.bias_k is None and not att.mha.add_zero_attn
    assert att.dropout.p == 0.25
    ff = FeedForwardLayer(8, 32, 0.25)
    assert [type(m).__name__ for m in ff.ffn] == ["Linear", "GELU", "Dropout", "Linear"]
    assert ff.ffn[1].approximate == "none" and ff.ffn[2].p == ff.dropout.p == 0.25
    assert ff.state_dict()["ffn.0.weight"].shape == (32, 8)


@pytest.mark.parametrize("cls", [SelfAttentionLayer, CrossAttentionLayer, FeedForwardLayer])
def test_argument_conversion(cls):
    layer = cls(8.0, 2.9, 0)
    assert type(layer.norm.normalized_shape[0]) is int and layer.norm.normalized_shape == (8,)
    assert type(layer.dropout.p) is float and layer.dropout.p == 0.0
    second = "d_ff" if cls is FeedForwardLayer else "num_heads"
    with pytest.raises(TypeError, match=r"^Argument 'd_model' has incorrect type \(expected int, got str\)$"):
        cls("8", None)
    with pytest.raises(TypeError, match=rf"^Argument '{second}' has incorrect type \(expected int, got NoneType\)$"):
        cls(8, None, "x")
    with pytest.raises(TypeError, match="must be real number, not str"):
        cls(8, 2, "x")


@pytest.mark.parametrize("call, message", [
    (lambda: SelfAttentionLayer(), r"__init__\(\) takes at least 3 positional arguments \(1 given\)"),
    (lambda: FeedForwardLayer(8, 2, 0.0, 1), r"__init__\(\) takes at most 4 positional arguments \(5 given\)"),
    (lambda: CrossAttentionLayer(8, 2, foo=1), r"__init__\(\) got an unexpected keyword argument 'foo'"),
    (lambda: SelfAttentionLayer(8, 2).forward(), r"forward\(\) takes at least 2 positional arguments \(1 given\)"),
    (lambda: CrossAttentionLayer(8, 2).forward(1, 2, 3, 4, 5), r"forward\(\) takes at most 5 positional arguments \(6 given\)"),
    (lambda: FeedForwardLayer(8, 2).forward(1, 2), r"forward\(\) takes exactly 2 positional arguments \(3 given\)"),
])
def test_call_shape_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_self_attention_residual_and_call(record_calls):
    torch.manual_seed(0)
    layer = SelfAttentionLayer(8, 2)  # rate 0.0: exact even in training mode
    x = torch.randn(2, 5, 8)
    before = x.clone()
    mask = torch.zeros(2, 5, dtype=torch.bool)
    expected = x + layer.mha(layer.norm(x), layer.norm(x), layer.norm(x), key_padding_mask=mask)[0]
    mha = record_calls(layer, "mha")
    out, weights = layer(x, key_padding_mask=mask)
    assert torch.equal(out, expected) and torch.equal(x, before)
    (args, kwargs), = mha.calls
    assert args == () and list(kwargs) == ["query", "key", "value", "key_padding_mask", "attn_mask",
                                           "need_weights", "average_attn_weights"]
    assert kwargs["key_padding_mask"] is mask and kwargs["attn_mask"] is None
    assert kwargs["need_weights"] is True and kwargs["average_attn_weights"] is True
    assert torch.allclose(weights.sum(-1), torch.ones(2, 5))


def test_key_padding_mask_zeroes_keys():
    layer = SelfAttentionLayer(8, 2).eval()
    mask = torch.tensor([[False, False, False, True, True]] * 2)
    _, weights = layer(torch.randn(2, 5, 8), key_padding_mask=mask)
    assert torch.all(weights[..., 3:] == 0) and torch.allclose(weights.sum(-1), torch.ones(2, 5))


def test_cross_attention_uses_raw_y():
    torch.manual_seed(0)
    layer = CrossAttentionLayer(8, 2).eval()
    x, y = torch.randn(2, 4, 8), torch.randn(2, 7, 8)
    out, weights = layer(x, y)
    assert out.shape == x.shape and weights.shape == (2, 4, 7)
    scaled, _ = layer(x, 3 * y)
    assert not torch.allclose(out, scaled)  # y is not normalised
    expected = x + layer.mha(layer.norm(x), y, y)[0]
    assert torch.allclose(out, expected)


def test_feed_forward_residual():
    torch.manual_seed(0)
    layer = FeedForwardLayer(8, 32, dropout=0.5).eval()
    x = torch.randn(3, 4, 8)
    assert torch.equal(layer(x), x + layer.ffn(layer.norm(x)))
    assert layer(torch.randn(4, 8)).shape == (4, 8)
    layer.dropout.p = 0.0  # the rate stays changeable after construction
    assert layer.dropout.p == 0.0


def test_gradients_and_hooks():
    layer = SelfAttentionLayer(8, 2)
    seen = []
    layer.norm.register_forward_hook(lambda m, i, o: seen.append(o.shape))
    x = torch.randn(2, 3, 8, requires_grad=True)
    layer(x)[0].sum().backward()
    assert seen == [(2, 3, 8)]
    assert x.grad is not None and layer.mha.in_proj_weight.grad is not None
