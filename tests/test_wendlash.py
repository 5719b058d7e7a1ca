import pytest
import torch

from corvantis.model import wendlash
from corvantis.model.wendlash import CrossAttentionDecoderLayer, SelfAttentionDecoderLayer

from test_ashvenny import KEYS as ENCODER_KEYS


def test_state_dicts():
    assert list(SelfAttentionDecoderLayer(16, 4, 32).state_dict()) == ENCODER_KEYS
    cross = ["cross_attn" + k[len("self_attn"):] for k in ENCODER_KEYS[:6]]
    assert list(CrossAttentionDecoderLayer(16, 4, 32).state_dict()) == \
        ENCODER_KEYS[:6] + cross + ENCODER_KEYS[6:]


@pytest.mark.parametrize("cls", [SelfAttentionDecoderLayer, CrossAttentionDecoderLayer])
def test_construction(cls):
    layer = cls(16, 4, 1024.0)
    assert layer.ffn.ffn[0].out_features == 1024
    assert {m.p for m in layer.modules() if isinstance(m, torch.nn.Dropout)} == {0.1}
    assert {m.p for m in cls(16, 4, 32, 0).modules() if isinstance(m, torch.nn.Dropout)} == {0.0}
    with pytest.raises(TypeError, match=r"^Argument 'd_ff' has incorrect type \(expected int, got str\)$"):
        cls(16, 4, "32")
    with pytest.raises(TypeError, match=r"forward\(\) takes at least"):
        cls(16, 4, 32)()


def causal(n):
    return torch.ones(n, n, dtype=torch.bool).triu(1)


def test_self_attention_decoder(record_calls):
    torch.manual_seed(0)
    layer = SelfAttentionDecoderLayer(16, 4, 32).eval()
    x = torch.randn(2, 5, 16)
    _, open_weights = layer(x)
    assert torch.all(open_weights > 0)  # no mask from the caller: later positions seen too
    attn = record_calls(layer, "self_attn")
    mask, pad = causal(5), torch.zeros(2, 5, dtype=torch.bool)
    out, weights = layer(x, key_padding_mask=pad, attn_mask=mask)
    assert list(attn.calls[0][1]) == ["key_padding_mask", "attn_mask"]
    assert attn.calls[0][1]["attn_mask"] is mask and attn.calls[0][1]["key_padding_mask"] is pad
    assert out.shape == x.shape and torch.all(weights.masked_select(mask) == 0)


def test_cross_attention_decoder_routes_masks(record_calls):
    torch.manual_seed(0)
    layer = CrossAttentionDecoderLayer(16, 4, 32).eval()
    x, enc = torch.randn(2, 4, 16), torch.randn(2, 6, 16)
    dec_pad = torch.tensor([[False] * 4, [False] * 3 + [True]])
    enc_pad = torch.tensor([[False] * 6, [False] * 4 + [True] * 2])
    self_attn = record_calls(layer, "self_attn")
    cross_attn = record_calls(layer, "cross_attn")
    result = layer(x, enc, dec_key_padding_mask=dec_pad, enc_key_padding_mask=enc_pad,
                   attn_mask=causal(4))
    assert len(result) == 3
    out, self_w, cross_w = result
    assert self_attn.calls[0][1]["key_padding_mask"] is dec_pad
    cross_args, cross_kwargs = cross_attn.calls[0]
    assert cross_args[1] is enc and cross_kwargs == {"key_padding_mask": enc_pad, "attn_mask": None}
    assert out.shape == x.shape and self_w.shape == (2, 4, 4) and cross_w.shape == (2, 4, 6)
    assert torch.all(self_w.masked_select(causal(4)) == 0)
    assert torch.all(cross_w[0, 0] > 0)  # the causal mask never reaches the cross-attention
    assert torch.all(cross_w[1, :, 4:] == 0)


def test_sublayers_looked_up_at_construction(monkeypatch):
    class Marked(wendlash.CrossAttentionLayer):
        pass

    monkeypatch.setattr(wendlash, "CrossAttentionLayer", Marked)
    assert type(CrossAttentionDecoderLayer(8, 2, 16).cross_attn) is Marked
