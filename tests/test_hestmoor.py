"""Scheduler factory: printed trees, kinds with and without warm-up, errors."""

from collections import OrderedDict

import pytest
import torch
from torch.optim import lr_scheduler

from corvantis.utils.hestmoor import _epochs_to_steps, create_scheduler, create_warmup_scheduler

# SequentialLR steps its next scheduler with an epoch argument at the milestone
pytestmark = pytest.mark.filterwarnings("ignore:The epoch parameter:UserWarning")

HEADER = ["", "📈 Configuring Learning Rate Scheduler:"]
PLATEAU_DEFAULTS = [
    "├── ReduceLROnPlateau Settings:", "│   ├── Mode: min", "│   ├── Factor: 0.1",
    "│   ├── Patience: 10 epochs", "│   ├── Threshold: 0.0001", "│   ├── Threshold Mode: rel",
    "│   ├── Cooldown: 0 epochs", "│   └── Min LR: 1e-05",
]
WARMUP_DEFAULTS = ["│   ├── Start Factor: 0.1", "│   └── End Factor: 1.0"]


def loader(n):
    return range(n)  # only its length is used


@pytest.fixture
def optimizer():
    return torch.optim.SGD([torch.nn.Parameter(torch.zeros(2))], lr=0.5)


def tree(capsys):
    return capsys.readouterr().out.split("\n")[:-1]


@pytest.mark.parametrize("epochs, batches, acc, steps", [
    (3, 10, None, 30), (3, 10, 3, 9), (2.9, 10, 1, 20), (True, 10, 1, 10), (3, 10, 20, 0),
])
def test_epochs_to_steps(epochs, batches, acc, steps):
    args = (epochs, loader(batches)) + (() if acc is None else (acc,))
    assert _epochs_to_steps(*args) == steps


@pytest.mark.parametrize("call, error, text", [
    (lambda: _epochs_to_steps("3", loader(4)), TypeError,
     "Argument 'epochs' has incorrect type (expected int, got str)"),
    (lambda: _epochs_to_steps(3, loader(4), None), TypeError,
     "Argument 'gradient_accumulation_steps' has incorrect type (expected int, got NoneType)"),
    (lambda: _epochs_to_steps(3, loader(4), 0), ZeroDivisionError, None),
    (lambda: _epochs_to_steps(3), TypeError,
     "_epochs_to_steps() takes at least 2 positional arguments (1 given)"),
    (lambda: _epochs_to_steps(3, loader(4), 1, 1), TypeError,
     "_epochs_to_steps() takes at most 3 positional arguments (4 given)"),
])
def test_epochs_to_steps_errors(call, error, text):
    with pytest.raises(error) as err:
        call()
    if text:
        assert str(err.value) == text


def check_plateau(s, opt):
    assert type(s) is lr_scheduler.ReduceLROnPlateau and s.optimizer is opt
    assert (s.mode, s.factor, s.patience, s.threshold, s.threshold_mode, s.cooldown,
            s.min_lrs, s.eps) == ("min", 0.1, 10, 1e-4, "rel", 0, [1e-5], 1e-8)


def check_plateau_custom(s, opt):
    assert (s.mode, s.factor, s.patience, s.cooldown, s.min_lrs, s.eps) == (
        "max", 0.5, 3, 2, [0.001], 1e-6)


def check_cosine(t_max):
    def check(s, opt):
        assert type(s) is lr_scheduler.CosineAnnealingLR and s.optimizer is opt
        assert (s.T_max, s.eta_min, s.last_epoch) == (t_max, 1e-4, 0)
    return check


def check_warm(s, opt):
    assert type(s) is lr_scheduler.CosineAnnealingWarmRestarts
    assert (s.T_0, s.T_mult, s.eta_min) == (30, 3, 0.0)


def check_warmup(steps, base_type):
    def check(s, opt):
        assert type(s) is lr_scheduler.SequentialLR and s.optimizer is opt
        ramp, base = s._schedulers
        assert type(ramp) is lr_scheduler.LinearLR and type(base) is base_type
        assert s._milestones == [steps] and ramp.total_iters == steps
        assert ramp.optimizer is opt and base.optimizer is opt
    return check


CASES = {
    "plateau defaults": (
        {"name": "reduce_lr", "reduce_lr": {}}, 100, 1,
        ["├── Type: REDUCE_LR"] + PLATEAU_DEFAULTS, check_plateau),
    "plateau settings, warm-up off": (
        {"name": "Reduce_LR", "warmup": {"enabled": False},
         "reduce_lr": {"mode": "max", "factor": 0.5, "patience": 3, "threshold": 0.01,
                       "threshold_mode": "abs", "cooldown": 2, "min_lr": 0.001, "eps": 1e-6}},
        100, 1,
        ["├── Type: REDUCE_LR", "├── ReduceLROnPlateau Settings:", "│   ├── Mode: max",
         "│   ├── Factor: 0.5", "│   ├── Patience: 3 epochs", "│   ├── Threshold: 0.01",
         "│   ├── Threshold Mode: abs", "│   ├── Cooldown: 2 epochs", "│   └── Min LR: 0.001"],
        check_plateau_custom),
    "cosine, fractional epochs": (
        {"name": "cosine", "cosine": {"T_max": 2.5}}, 100, 1,
        ["├── Type: COSINE", "├── Cosine Annealing Settings:",
         "│   ├── T_max: 2.5 epochs (200 steps)", "│   └── Min LR: 0.0001",
         "└── Warmup: Disabled"], check_cosine(200)),
    "cosine defaults, accumulation 4": (
        {"name": "cosine", "cosine": {}, "warmup": {"enabled": 0}}, 100, 4,
        ["├── Type: COSINE", "├── Cosine Annealing Settings:",
         "│   ├── T_max: 60 epochs (1500 steps)", "│   └── Min LR: 0.0001",
         "└── Warmup: Disabled"], check_cosine(1500)),
    "cosine_warm settings": (
        {"name": "cosine_warm", "cosine_warm": {"T_0": 3, "T_mult": 3, "eta_min": 0.0}}, 10, 1,
        ["├── Type: COSINE_WARM", "├── Cosine Annealing Warm Restarts Settings:",
         "│   ├── T_0: 3 epochs (30 steps)", "│   ├── T_mult: 3", "│   └── Min LR: 0.0",
         "└── Warmup: Disabled"], check_warm),
    "cosine_warm with warm-up": (
        {"name": "Cosine_Warm", "cosine_warm": {}, "warmup": {"enabled": True}}, 50, 1,
        ["├── Type: COSINE_WARM", "├── Cosine Annealing Warm Restarts Settings:",
         "│   ├── T_0: 10 epochs (500 steps)", "│   ├── T_mult: 2", "│   └── Min LR: 0.0001",
         "├── Warmup Settings:", "│   ├── Duration: 5 epochs (250 steps)"] + WARMUP_DEFAULTS,
        check_warmup(250, lr_scheduler.CosineAnnealingWarmRestarts)),
    # the ramp lasts the printed count of optimizer steps, not batches
    "cosine with warm-up, accumulation 4": (
        {"name": "cosine", "cosine": {"T_max": 10},
         "warmup": {"enabled": "yes", "epochs": 2, "start_factor": 0.25, "end_factor": 0.5}},
        100, 4,
        ["├── Type: COSINE", "├── Cosine Annealing Settings:",
         "│   ├── T_max: 10 epochs (250 steps)", "│   └── Min LR: 0.0001",
         "├── Warmup Settings:", "│   ├── Duration: 2 epochs (50 steps)",
         "│   ├── Start Factor: 0.25", "│   └── End Factor: 0.5"],
        check_warmup(50, lr_scheduler.CosineAnnealingLR)),
}


@pytest.mark.parametrize("config, batches, acc, lines, check", CASES.values(), ids=CASES.keys())
def test_create_scheduler_kinds(optimizer, capsys, config, batches, acc, lines, check):
    s = create_scheduler(optimizer, config, loader(batches), acc)
    assert tree(capsys) == HEADER + lines
    check(s, optimizer)


def test_warmup_ramps_then_hands_over(optimizer, capsys):
    config = {"name": "cosine", "cosine": {"T_max": 1, "eta_min": 0.0},
              "warmup": {"enabled": True, "epochs": 1}}
    s = create_scheduler(optimizer, config, loader(8), 2)  # 4 steps of warm-up, 4 of cosine
    seen = []
    for _ in range(8):
        seen.append(optimizer.param_groups[0]["lr"])
        optimizer.step()
        s.step()
    assert seen[:5] == pytest.approx([0.05, 0.1625, 0.275, 0.3875, 0.5])
    assert seen[5:] == pytest.approx([0.5 * (1 + 0.5 ** 0.5) / 2, 0.25, 0.5 * (1 - 0.5 ** 0.5) / 2])


@pytest.mark.parametrize("config, calls", [
    ({"name": "reduce_lr", "reduce_lr": {}},
     [("ReduceLROnPlateau", ["mode", "factor", "patience", "threshold", "threshold_mode",
                             "cooldown", "min_lr", "eps"])]),
    ({"name": "cosine_warm", "cosine_warm": {}},
     [("CosineAnnealingWarmRestarts", ["T_0", "T_mult", "eta_min", "last_epoch"])]),
    ({"name": "cosine", "cosine": {}, "warmup": {"enabled": True}},
     [("CosineAnnealingLR", ["T_max", "eta_min", "last_epoch"]),
      ("LinearLR", ["start_factor", "end_factor", "total_iters"]),
      ("SequentialLR", ["schedulers", "milestones"])]),
])
def test_schedulers_are_looked_up_at_call_time(optimizer, monkeypatch, capsys, config, calls):
    seen = []

    def recorder(cls):
        def build(*args, **kwargs):
            seen.append((cls, args, list(kwargs)))
            return cls
        return build

    for cls, _ in calls:
        monkeypatch.setattr(lr_scheduler, cls, recorder(cls))
    create_scheduler(optimizer, config, loader(4))
    assert [(cls, kw) for cls, _, kw in seen] == calls
    assert all(args == (optimizer,) for _, args, _ in seen)


@pytest.mark.parametrize("config, acc, error, text, lines", [
    ({"name": "reduce_lr", "warmup": {"enabled": True}}, 1, ValueError,
     "ReduceLROnPlateau scheduler cannot be combined with warmup. Please either disable warmup "
     "or use a different scheduler (cosine, cosine_warm).", ["├── Type: REDUCE_LR"]),
    ({"name": " cosine", "cosine": {}}, 1, ValueError,
     "Unsupported scheduler:  cosine. Supported: ['reduce_lr', 'cosine', 'cosine_warm']",
     ["├── Type:  COSINE"]),
    ({"name": "cosine_warm", "cosine": {}}, 1, KeyError, "'cosine_warm'",
     ["├── Type: COSINE_WARM"]),
    ({"cosine": {}}, 1, KeyError, "'name'", []),
    ({"name": "cosine"}, 0, ZeroDivisionError, None, []),
    ({"name": "cosine", "cosine": {"T_max": "long"}}, 1, TypeError,
     "Argument 'epochs' has incorrect type (expected int, got str)", ["├── Type: COSINE"]),
    ({"name": "reduce_lr", "reduce_lr": {"mode": "up"}}, 1, ValueError, "mode up is unknown!",
     ["├── Type: REDUCE_LR"] + ["│   ├── Mode: up" if l.startswith("│   ├── Mode") else l
                                for l in PLATEAU_DEFAULTS]),
    ({"name": "cosine", "cosine": {}, "warmup": OrderedDict(enabled=True)}, 1, TypeError,
     "Argument 'warmup_config' has incorrect type (expected dict, got collections.OrderedDict)",
     ["├── Type: COSINE", "├── Cosine Annealing Settings:", "│   ├── T_max: 60 epochs (240 steps)",
      "│   └── Min LR: 0.0001", "├── Warmup Settings:", "│   ├── Duration: 5 epochs (20 steps)"]
     + WARMUP_DEFAULTS),
])
def test_create_scheduler_errors(optimizer, capsys, config, acc, error, text, lines):
    with pytest.raises(error) as err:
        create_scheduler(optimizer, config, loader(4), acc)
    if text:
        assert str(err.value) == text
    assert tree(capsys) == (HEADER + lines if lines else [])
    assert optimizer.param_groups[0]["lr"] == 0.5


@pytest.mark.parametrize("args, kwargs, text", [
    ((OrderedDict(name="cosine"), loader(4)), {}, "Argument 'scheduler_config' has incorrect type "
     "(expected dict, got collections.OrderedDict)"),
    ((None, loader(4)), {}, "Argument 'scheduler_config' has incorrect type "
     "(expected dict, got NoneType)"),
    (({"name": "cosine"}, loader(4), "2"), {}, "Argument 'gradient_accumulation_steps' has "
     "incorrect type (expected int, got str)"),
    (({"name": "cosine"},), {}, "create_scheduler() takes at least 3 positional arguments (2 given)"),
    (({}, loader(4), 1, 2), {}, "create_scheduler() takes at most 4 positional arguments (5 given)"),
    (({}, loader(4)), {"warmup": {}}, "create_scheduler() got an unexpected keyword argument 'warmup'"),
    (({}, loader(4)), {"optimizer": None},
     "create_scheduler() got multiple values for argument 'optimizer'"),
])
def test_create_scheduler_argument_errors(optimizer, capsys, args, kwargs, text):
    with pytest.raises(TypeError) as err:
        create_scheduler(optimizer, *args, **kwargs)
    assert str(err.value) == text
    assert tree(capsys) == []


def test_create_warmup_scheduler_direct(optimizer, capsys):
    base = lr_scheduler.CosineAnnealingLR(optimizer, T_max=10)
    s = create_warmup_scheduler(optimizer=optimizer, base_scheduler=base, train_loader=loader(10),
                                warmup_config={"epochs": 2, "start_factor": 0.5})
    ramp = s._schedulers[0]
    assert (ramp.total_iters, s._milestones, ramp.start_factor, ramp.end_factor) == (
        20, [20], 0.5, 1.0)
    assert s._schedulers[1] is base and optimizer.param_groups[0]["lr"] == 0.25
    assert tree(capsys) == []


@pytest.mark.parametrize("args, text", [
    (3, "create_warmup_scheduler() takes exactly 4 positional arguments (3 given)"),
    (5, "create_warmup_scheduler() takes exactly 4 positional arguments (5 given)"),
])
def test_create_warmup_scheduler_takes_four_arguments(args, text):
    with pytest.raises(TypeError) as err:
        create_warmup_scheduler(*[object()] * args)
    assert str(err.value) == text


def test_create_warmup_scheduler_wants_a_dict(optimizer):
    with pytest.raises(TypeError, match=r"expected dict, got list\)$"):
        create_warmup_scheduler(optimizer, None, [], loader(3))


def test_front_exports_the_factories():
    import corvantis.utils as front
    from corvantis.utils.yarrowind import yarrowind

    assert front.create_scheduler is create_scheduler and front.yarrowind is yarrowind
    assert front.__all__ == ["yarrowind", "create_scheduler"]
