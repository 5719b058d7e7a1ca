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



# Outputs a walk must survive: nested far deeper than the C stack allows, a
# list holding itself, a dict holding itself, and 60 levels that each hold the
# level below twice (2**60 paths). Each container counts once, each tensor
# once per container holding it: 24 bytes per occurrence of t.
@pytest.mark.parametrize("body, occurrences", [
    ("out = t\nfor _ in range(200000): out = [out]", 1),
    ("out = [t]; out.append(out)", 1),
    ("out = {'a': t}; out['b'] = out", 1),
    ("out = t\nfor _ in range(60): out = [out, out]", 2),
], ids=["deep", "self_list", "self_dict", "shared"])
def test_outputs_are_walked_without_recursion(isolated, body, occurrences):
    out = isolated(f"""
        import torch
        from corvantis.utils.summary import summary

        class Leaf(torch.nn.Module):
            def forward(self, t):
                scope = {{"t": t}}
                exec({body!r}, scope)
                return scope["out"]

        stats = summary(Leaf(), input_data=torch.zeros(2, 3), verbose=0)
        print(stats.summary_list[0]["output_shape"], stats.forward_bytes)
    """)
    assert out.split() == ["[2,", "3]", str(24 * occurrences)]


def test_output_whose_iteration_calls_modules(isolated):
    # the hook reads the output while its own row's table may grow
    out = isolated("""
        import torch
        from corvantis.utils.summary import summary

        class Chatty(list):
            def __iter__(self):
                for _ in range(100):
                    self.net.inner(self[0])
                return super().__iter__()

        class Net(torch.nn.Module):
            def __init__(self):
                super().__init__()
                self.inner = torch.nn.Identity()

            def forward(self, x):
                out = Chatty([self.inner(x)])
                out.net = self
                return out

        stats = summary(Net(), input_data=torch.zeros(2, 3), verbose=0)
        print([(r["name"], r["output_shape"]) for r in stats.summary_list])
    """)
    assert out.strip() == "[('', [2, 3]), ('inner', [2, 3])]"


class Holder(torch.nn.Module):
    """2**60 parameters on the meta device, which hold no memory."""

    def __init__(self):
        super().__init__()
        self.w = torch.nn.Parameter(torch.empty(2**60, device="meta"))

    def forward(self, x):
        return x


def test_counts_beyond_int64_are_exact():
    stats = summary(torch.nn.Sequential(*(Holder() for _ in range(8))), input_size=(2, 3), verbose=0)
    total = 2**63  # one past the largest int64
    assert (stats.total_params, stats.trainable_params, stats.param_bytes) == (total, total, 4 * total)
    lines = str(stats).splitlines()
    assert f"Total params: {total:,}" in lines
    assert lines[4].split()[-1] == f"{2**60:,}"


@pytest.mark.parametrize("value", [-2**63, -1234567, 0, 2**70])
def test_totals_print_with_one_sign(value):
    stats = summary(torch.nn.Linear(3, 3), input_size=(1, 3), verbose=0)
    stats.total_params = value
    assert f"\nTotal params: {value:,}\n" in str(stats)
