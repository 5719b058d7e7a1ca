import pytest
import torch

from corvantis.model.ashvenny import SelfAttentionEncoderLayer
from corvantis.utils.summary import ModelStatistics, summary


class Tagger(torch.nn.Module):
    """Embedding, two encoder layers in a ModuleList (never called itself), a head."""

    def __init__(self):
        super().__init__()
        self.emb = torch.nn.Embedding(10, 8)
        self.layers = torch.nn.ModuleList([SelfAttentionEncoderLayer(8, 2, 16) for _ in range(2)])
        self.norm = torch.nn.BatchNorm1d(8)
        self.head = torch.nn.Linear(8, 3)
        self.seen = []

    def forward(self, ids, lengths=None):
        self.seen.append((ids.dtype, ids.tolist()[0][:2], torch.is_grad_enabled(), self.training))
        x = self.emb(ids)
        for layer in self.layers:
            x, _ = layer(x)
        x = self.norm(x.transpose(1, 2)).transpose(1, 2)
        return self.head(x)


@pytest.fixture
def model():
    torch.manual_seed(0)
    m = Tagger()
    m.head.weight.requires_grad_(False)
    return m


def rows(stats):
    return [(r["name"], r["type"], r["depth"]) for r in stats.summary_list]


def test_input_size_form(model, capsys):
    stats = summary(model, input_size=[(2, 5), (2,)], dtypes=[torch.long, torch.long])
    assert isinstance(stats, ModelStatistics)
    assert model.seen == [(torch.int64, [1, 1], False, False)]  # ones, no_grad, eval
    assert rows(stats)[:6] == [("", "Tagger", 0), ("emb", "Embedding", 1),
                               ("layers", "ModuleList", 1),
                               ("layers.0", "SelfAttentionEncoderLayer", 2),
                               ("layers.0.self_attn", "SelfAttentionLayer", 3),
                               ("layers.0.self_attn.norm", "LayerNorm", 4)]
    assert rows(stats)[-2:] == [("norm", "BatchNorm1d", 1), ("head", "Linear", 1)]
    total = sum(p.numel() for p in model.parameters())
    assert stats.total_params == total and stats.non_trainable_params == 24
    assert stats.trainable_params == total - 24
    assert stats.summary_list[0]["output_shape"] == [2, 5, 3]
    assert capsys.readouterr().out == str(stats) + "\n"  # printed by default


def test_table_text(model):
    text = str(summary(model, input_data=[torch.zeros(2, 4, dtype=torch.long)], verbose=0))
    lines = text.splitlines()
    assert lines[1].split() == ["Layer", "(type)", "Output", "Shape", "Param", "#"]
    body = [line for line in lines if line.startswith(("Tagger", "├", "│", "└"))]
    assert body[0].split() == ["Tagger", "[2,", "4,", "3]", f"{sum(p.numel() for p in model.parameters()):,}"]
    assert body[1].startswith("├─Embedding (emb)") and "[2, 4, 8]" in body[1]
    assert body[2].startswith("├─ModuleList (layers)") and " -- " in body[2]
    assert body[3].startswith("│    ├─SelfAttentionEncoderLayer (0)")
    assert body[-1].startswith("└─Linear (head)")
    assert not any("LayerNorm" in line for line in body)  # deeper than depth 3
    for label in ("Total params: ", "Trainable params: ", "Non-trainable params: 24",
                  "Input size (MB): ", "Forward pass size (MB): ", "Params size (MB): ",
                  "Estimated total size (MB): "):
        assert any(line.startswith(label) for line in lines), label
    assert len(str(summary(model, input_data=torch.zeros(1, 2, dtype=torch.long), depth=0,
                           verbose=0)).splitlines()) == len(lines) - len(body) + 1


def test_state_left_as_it_was(model):
    model.train()
    model.norm.eval()  # mixed modes come back mixed
    before = {k: v.clone() for k, v in model.state_dict().items()}
    flags = [p.requires_grad for p in model.parameters()]
    summary(model, input_data={"ids": torch.zeros(2, 4, dtype=torch.long)}, verbose=0)
    assert model.training and not model.norm.training and model.layers[0].training
    assert all(torch.equal(before[k], v) for k, v in model.state_dict().items())
    assert flags == [p.requires_grad for p in model.parameters()]
    assert all(not m._forward_hooks and not m._forward_pre_hooks for m in model.modules())
    assert torch.is_grad_enabled()


def test_failed_forward_cleans_up(model):
    model.train()
    with pytest.raises(IndexError):
        summary(model, input_data=[torch.full((2, 4), 99)], verbose=0)
    assert model.training
    assert all(not m._forward_hooks and not m._forward_pre_hooks for m in model.modules())


def test_repeated_calls_are_marked():
    lin = torch.nn.Linear(3, 3)
    seq = torch.nn.Sequential(lin, torch.nn.ReLU(), lin)
    stats = summary(seq, input_size=(4, 3), verbose=0)
    assert [r["repeat"] for r in stats.summary_list] == [False, False, False, True]
    assert stats.total_params == 12 and "(reused)" in str(stats)


@pytest.mark.parametrize("kwargs, error, message", [
    ({}, ValueError, "exactly one of input_size and input_data"),
    (dict(input_size=(2, 3), input_data=torch.zeros(2, 3)), ValueError, "exactly one of"),
    (dict(input_size=[(2, 3), "x"]), TypeError, "input_size must be a shape"),
    (dict(input_size=[(2, 3), (2,)], dtypes=[torch.long]), ValueError, "dtypes has 1 entries for 2 inputs"),
])
def test_argument_errors(kwargs, error, message):
    with pytest.raises(error, match=message):
        summary(torch.nn.Linear(3, 3), verbose=0, **kwargs)
