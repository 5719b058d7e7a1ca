"""Optimizer factory: parameter groups of the three modes, printed tree, errors."""

import types

import pytest
import torch
from torch import nn

from corvantis.utils.yarrowind import yarrowind

HEAD = ["", "🔧 Configuring Optimizer:", "├── Base LR: 0.001", "├── Weight Decay: 0.01"]

SPECIFIC = {
    "sgd": ["└── SGD Specific:", "    ├── Momentum: 0.9", "    ├── Nesterov: True",
            "    └── Dampening: 0"],
    "adam": ["└── Adam Specific:", "    ├── Betas: (0.9, 0.98)", "    ├── Epsilon: 1e-09",
             "    └── AMSGrad: True"],
    "adamw": ["└── AdamW Specific:", "    ├── Betas: (0.8, 0.9)", "    ├── Epsilon: 1e-07",
              "    └── AMSGrad: False"],
}


class Tiny(nn.Module):
    """Parameters at depths 0, 1 and 2, in this registration order:
    scale, embed.weight, encoder.self_attn.weight, encoder.self_attn.bias,
    head.weight, head.bias."""

    def __init__(self):
        super().__init__()
        self.scale = nn.Parameter(torch.ones(1))
        self.embed = nn.Embedding(5, 4)
        self.encoder = nn.ModuleDict({"self_attn": nn.Linear(4, 4)})
        self.head = nn.Linear(4, 2)


@pytest.fixture
def model():
    m = Tiny()
    m.head.bias.requires_grad_(False)
    return m


def settings(name="adamw", **extra):
    cfg = {
        "name": name,
        "lr": 0.001,
        "weight_decay": 0.01,
        "sgd": {"momentum": 0.9, "nesterov": True, "dampening": 0},
        "adam": {"betas": (0.9, 0.98), "eps": 1e-9, "amsgrad": True},
        "adamw": {"betas": (0.8, 0.9), "eps": 1e-7, "amsgrad": False},
    }
    cfg.update(extra)
    return cfg


def tree(capsys):
    return capsys.readouterr().out.split("\n")[:-1]


def head(kind):
    return HEAD[:2] + ["├── Type: " + kind.upper()] + HEAD[2:]


def summary(optimizer):
    return [(g["name"], g["lr"], [tuple(p.shape) for p in g["params"]])
            for g in optimizer.param_groups]


@pytest.mark.parametrize("name, cls, settings_read", [
    ("sgd", torch.optim.SGD, {"momentum": 0.9, "nesterov": True, "dampening": 0}),
    ("Adam", torch.optim.Adam, {"betas": (0.9, 0.98), "eps": 1e-9, "amsgrad": True}),
    ("ADAMW", torch.optim.AdamW, {"betas": (0.8, 0.9), "eps": 1e-7, "amsgrad": False}),
])
def test_single_group_holds_every_parameter(model, capsys, name, cls, settings_read):
    # any mapping with item access and get serves
    opt = yarrowind(model, types.MappingProxyType(settings(name)))
    kind = name.lower()
    assert tree(capsys) == head(kind) + ["├── Layer-wise Decay: Disabled"] + SPECIFIC[kind]
    assert type(opt) is cls
    (group,) = opt.param_groups
    assert list(group)[:3] == ["params", "lr", "name"]
    assert group["name"] == "model" and group["lr"] == 0.001 and group["weight_decay"] == 0.01
    # the frozen head.bias is part of the one group
    assert [p is q for p, q in zip(group["params"], model.parameters())] == [True] * 6
    assert {k: group[k] for k in settings_read} == settings_read


def test_optimizer_is_looked_up_at_call_time_with_ordered_keywords(model, monkeypatch, capsys):
    calls = []

    def fake(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return "built"

    monkeypatch.setattr(torch.optim, "SGD", fake)
    assert yarrowind(model=model, opt_config=settings("sgd")) == "built"
    ((groups,), keywords), = calls
    assert keywords == [("momentum", 0.9), ("weight_decay", 0.01), ("nesterov", True),
                        ("dampening", 0)]
    assert [list(g) for g in groups] == [["params", "lr", "name"]]

    monkeypatch.setattr(torch.optim, "AdamW", fake)
    yarrowind(model, settings("adamw"))
    assert calls[1][1] == [("betas", (0.8, 0.9)), ("eps", 1e-7), ("weight_decay", 0.01),
                           ("amsgrad", False)]


def test_pattern_groups_first_match_wins(model, capsys):
    groups = [
        {"name": "attn", "patterns": ["attn"], "lr": 0.01,
         "layer_decay": {"enabled": True, "decay_rate": 0.5}},
        # enabled without a rate decays by 1.0
        {"name": "embed", "patterns": ("embed",), "layer_decay": {"enabled": True}},
        {"name": "nothing", "patterns": ["zzz"], "lr": 9.0},
        {"name": "again", "patterns": ["attn", "head.w"], "lr": 0.5},
    ]
    # the top-level decay is ignored when groups are given
    cfg = settings("sgd", param_groups=groups, layer_decay={"enabled": True, "decay_rate": 0.1})
    opt = yarrowind(model, cfg)
    assert tree(capsys) == head("sgd") + [
        "├── Parameter Groups:",
        "│   ├── Group: attn", "│   │   ├── LR: 0.01", "│   │   └── Patterns: ['attn']",
        "│   ├── Group: embed", "│   │   ├── LR: 0.001", "│   │   └── Patterns: ('embed',)",
        "│   ├── Group: nothing", "│   │   ├── LR: 9.0", "│   │   └── Patterns: ['zzz']",
        "│   ├── Group: again", "│   │   ├── LR: 0.5",
        "│   │   └── Patterns: ['attn', 'head.w']",
        "│   └── Default Group (unmatched parameters)",
    ] + SPECIFIC["sgd"]
    # encoder.* depth 2: 0.01 * 0.5 ** 2; head.bias is frozen and left out
    assert summary(opt) == [
        ("encoder.self_attn.weight", 0.0025, [(4, 4)]),
        ("encoder.self_attn.bias", 0.0025, [(4,)]),
        ("embed.weight", 0.001, [(5, 4)]),
        ("head.weight", 0.5, [(2, 4)]),
        ("scale", 0.001, [(1,)]),
    ]
    assert all(list(g)[:3] == ["params", "lr", "name"] for g in opt.param_groups)
    assert opt.param_groups[0]["params"][0] is model.encoder.self_attn.weight


def test_pattern_groups_covering_everything_print_no_default_group(model, capsys):
    opt = yarrowind(model, settings("adam", param_groups=[{"name": "all", "patterns": [""]}]))
    lines = tree(capsys)
    assert "│   └── Default Group (unmatched parameters)" not in lines
    assert lines[-5] == "│   │   └── Patterns: ['']"
    assert [g["name"] for g in opt.param_groups] == [
        "scale", "embed.weight", "encoder.self_attn.weight", "encoder.self_attn.bias",
        "head.weight"]


def test_global_decay_by_depth(model, capsys):
    # an empty group list falls through to the global decay
    cfg = settings("adamw", param_groups=[], layer_decay={"enabled": True, "decay_rate": 0.5})
    opt = yarrowind(model, cfg)
    assert tree(capsys) == head("adamw") + [
        "├── Layer-wise Decay: Enabled",
        "│   └── Decay Rate: 0.5",
        "├── Layer Learning Rates (sample):",
        "│   ├── scale: 0.001000",
        "│   ├── embed.weight: 0.000500",
        "│   ├── encoder.self_attn.weight: 0.000250",
        "│   └── ... (2 more layers)",
    ] + SPECIFIC["adamw"]
    assert summary(opt) == [
        ("model.scale", 0.001, [(1,)]),
        ("model.embed.weight", 0.0005, [(5, 4)]),
        ("model.encoder.self_attn.weight", 0.00025, [(4, 4)]),
        ("model.encoder.self_attn.bias", 0.00025, [(4,)]),
        ("model.head.weight", 0.0005, [(2, 4)]),
    ]


@pytest.mark.parametrize("layers, sample", [
    (2, ["│   ├── 0.weight: 0.009000", "│   ├── 0.bias: 0.009000",
         "│   ├── 1.weight: 0.009000", "│   └── ... (1 more layers)"]),
    (1, ["│   ├── 0.weight: 0.009000", "│   ├── 0.bias: 0.009000"]),
])
def test_global_decay_sample_lines(capsys, layers, sample):
    net = nn.Sequential(*[nn.Linear(2, 2) for _ in range(layers)])
    cfg = settings("sgd", lr=0.01, layer_decay={"enabled": True, "decay_rate": 0.9})
    yarrowind(net, cfg)
    lines = tree(capsys)
    start = lines.index("├── Layer Learning Rates (sample):") + 1
    assert lines[start:lines.index("└── SGD Specific:")] == sample


def test_two_calls_build_independent_optimizers(model, capsys):
    cfg = settings("adam", layer_decay={"enabled": True, "decay_rate": 0.7})
    a, b = yarrowind(model, cfg), yarrowind(model, cfg)
    assert a is not b and a.param_groups[0] is not b.param_groups[0]
    assert summary(a) == summary(b)


@pytest.mark.parametrize("change, missing, last_line", [
    (lambda c: c.pop("name"), "name", None),
    (lambda c: c.pop("weight_decay"), "weight_decay", "├── Base LR: 0.001"),
    (lambda c: c.update(param_groups=[{"name": "g"}]), "patterns", "├── Parameter Groups:"),
    (lambda c: c.update(param_groups=[{"patterns": ["a"]}]), "name", "├── Parameter Groups:"),
    (lambda c: c.update(layer_decay={"enabled": True}), "decay_rate",
     "├── Weight Decay: 0.01"),
    (lambda c: c["sgd"].pop("momentum"), "momentum", "└── SGD Specific:"),
    (lambda c: c["sgd"].pop("dampening"), "dampening", "    ├── Nesterov: True"),
])
def test_missing_setting_fails_where_it_is_read(model, capsys, change, missing, last_line):
    cfg = settings("sgd")
    change(cfg)
    with pytest.raises(KeyError) as err:
        yarrowind(model, cfg)
    assert err.value.args == (missing,)
    lines = tree(capsys)
    assert (lines[-1] if lines else None) == last_line


def test_unsupported_name_raises_after_the_tree(model, capsys):
    with pytest.raises(ValueError, match=r"^Unsupported optimizer: adamw $"):
        yarrowind(model, settings("AdamW "))
    assert tree(capsys) == head("adamw ") + ["├── Layer-wise Decay: Disabled"]


def test_bad_arguments(model, capsys):
    with pytest.raises(TypeError, match=r"^yarrowind\(\) takes exactly 2 positional arguments \(1 given\)$"):
        yarrowind(model)
    with pytest.raises(TypeError, match=r"^yarrowind\(\) got an unexpected keyword argument 'lr'$"):
        yarrowind(model, settings(), lr=1)
    with pytest.raises(AttributeError):
        yarrowind(model, settings(3))
    assert tree(capsys) == []


def test_no_trainable_parameter_leaves_pytorch_error(model, capsys):
    for p in model.parameters():
        p.requires_grad_(False)
    with pytest.raises(ValueError, match="empty parameter list"):
        yarrowind(model, settings("sgd", layer_decay={"enabled": True, "decay_rate": 0.5}))
