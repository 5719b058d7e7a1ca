"""Schedule plot: the simulation, the restore afterwards, and the drawn figure."""

import copy

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
import torch  # noqa: E402
from torch.optim import lr_scheduler  # noqa: E402

from corvantis.utils.hestmoor import plot_lr_schedule  # noqa: E402

# SequentialLR steps its next scheduler with an epoch argument at the milestone
pytestmark = pytest.mark.filterwarnings("ignore:The epoch parameter:UserWarning")

COLORS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#1f77b4"]
STYLES = ["-", "--", "-.", ":", "-", "-"]


@pytest.fixture(autouse=True)
def shown(monkeypatch):
    calls = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: calls.append(plt.gcf()))
    yield calls
    plt.close("all")


def make(kind, groups=1, momentum=0.0, plateau=lr_scheduler.ReduceLROnPlateau):
    """An optimizer with `groups` one-parameter groups (rates 0.1, 0.2, ...) and a
    scheduler; an integer kind is a plateau scheduler with that patience."""
    torch.manual_seed(0)
    params = [torch.nn.Parameter(torch.randn(3)) for _ in range(groups)]
    opt = torch.optim.SGD([{"params": [p], "lr": 0.1 * (i + 1)} for i, p in enumerate(params)],
                          lr=0.1, momentum=momentum)
    if kind == "cosine":
        s = lr_scheduler.CosineAnnealingLR(opt, T_max=12, eta_min=0.001)
    elif kind == "cosine_warm":
        s = lr_scheduler.CosineAnnealingWarmRestarts(opt, T_0=4, T_mult=2)
    elif kind == "warmup":
        ramp = lr_scheduler.LinearLR(opt, start_factor=0.1, total_iters=5)
        s = lr_scheduler.SequentialLR(opt, [ramp, lr_scheduler.CosineAnnealingLR(opt, 20)], [5])
    else:
        s = plateau(opt, patience=kind, factor=0.5)
    return opt, s, params


def advance(opt, s, steps):
    for _ in range(steps):
        opt.step()
        s.step()


def rates(opt):
    return [g["lr"] for g in opt.param_groups]


def drawn():
    main, top = plt.gcf().axes
    return main, top, main.get_lines()


def same(a, b):
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, torch.Tensor):
        return torch.equal(a, b)
    return a == b


@pytest.mark.parametrize("kind", ["cosine", "cosine_warm", "warmup"])
def test_stepwise_plot_restores_and_continues(kind, shown):
    (opt, s, _), (ahead_opt, ahead, _), (twin_opt, twin, _) = (make(kind, 2) for _ in range(3))
    for o, sched in ((opt, s), (ahead_opt, ahead), (twin_opt, twin)):
        advance(o, sched, 3)
    state, opt_state = copy.deepcopy(s.state_dict()), copy.deepcopy(opt.state_dict())
    expected = [[], []]  # 3 epochs of 10 batches, run ahead on a copy
    for _ in range(30):
        for values, lr in zip(expected, rates(ahead_opt)):
            values.append(lr)
        advance(ahead_opt, ahead, 1)

    assert plot_lr_schedule(s, 3, range(10)) is None
    assert len(shown) == 1
    main, top, lines = drawn()
    assert [list(line.get_ydata()) for line in lines] == expected
    assert all(np.array_equal(line.get_xdata(), np.linspace(0, 3, 30)) for line in lines)
    assert top.get_xlim() == (0, 30)

    assert same(s.state_dict(), state) and same(opt.state_dict(), opt_state)
    for _ in range(5):  # stepping goes on from before the plot
        advance(opt, s, 1)
        advance(twin_opt, twin, 1)
        assert rates(opt) == rates(twin_opt)


def test_figure_layout(shown):
    opt, s, _ = make("cosine", groups=6)
    plot_lr_schedule(s, 2, range(3), max_groups=6)
    fig = plt.gcf()
    main, top, lines = drawn()
    assert tuple(fig.get_size_inches()) == (12, 4)
    assert [line.get_label() for line in lines] == [f"Group {i}" for i in range(6)]
    assert [line.get_color() for line in lines] == COLORS
    assert [line.get_linestyle() for line in lines] == STYLES
    assert {line.get_linewidth() for line in lines} == {2}
    assert lines[5].get_ydata()[0] == pytest.approx(0.6)
    assert (main.get_xlabel(), main.get_ylabel(), main.get_title()) == (
        "Epoch", "Learning Rate", "Learning Rate Schedule")
    assert (main.xaxis.label.get_fontsize(), main.title.get_fontsize()) == (12, 14)
    assert main.get_yscale() == "log"
    assert all(g.get_visible() and g.get_alpha() == 0.3 for g in main.get_xgridlines())
    legend = main.get_legend()
    assert [t.get_text() for t in legend.get_texts()] == [f"Group {i}" for i in range(6)]
    assert legend._loc == 2  # upper left, anchored outside to the right
    assert (top.get_xlabel(), top.get_xlim(), top.xaxis.label.get_fontsize()) == ("Steps", (0, 6), 12)
    assert shown == [fig]


@pytest.mark.parametrize("groups, max_groups, drawn_groups, warning", [
    (7, 5, 5, "Warning: Only showing 5 out of 7 parameter groups for clarity\n"),
    (5, 5, 5, ""),
    (3, 2.7, 2, "Warning: Only showing 2 out of 3 parameter groups for clarity\n"),
])
def test_at_most_max_groups_are_drawn(capsys, groups, max_groups, drawn_groups, warning):
    opt, s, _ = make("cosine", groups=groups)
    plot_lr_schedule(s, 1, range(2), 1, max_groups)
    assert capsys.readouterr().out == warning
    _, _, lines = drawn()
    assert [line.get_ydata()[0] for line in lines] == pytest.approx(
        [0.1 * (i + 1) for i in range(drawn_groups)])


def test_accumulation_shortens_the_stepwise_run():
    opt, s, _ = make("cosine")
    plot_lr_schedule(s, 3, range(10), gradient_accumulation_steps=2)
    _, top, (line,) = drawn()
    assert len(line.get_ydata()) == 15 and top.get_xlim() == (0, 15)
    assert np.array_equal(line.get_xdata(), np.linspace(0, 3, 15))


class RecordingPlateau(lr_scheduler.ReduceLROnPlateau):
    seen = []  # on the class: the restore puts the instance's attributes back

    def step(self, metrics, epoch=None):
        type(self).seen.append(metrics)
        super().step(metrics, epoch)


def test_plateau_plot_restores_and_stays_bound():
    opt, s, _ = make(2, plateau=RecordingPlateau)
    twin_opt, twin, _ = make(2)
    for sched in (s, twin):
        for metric in (1.0, 1.0, 1.0, 1.0):  # one reduction already: 0.1 -> 0.05
            sched.step(metric)
    state, opt_state = copy.deepcopy(s.state_dict()), copy.deepcopy(opt.state_dict())
    RecordingPlateau.seen = []

    plot_lr_schedule(s, 10, range(4), gradient_accumulation_steps=0)  # not used here

    assert RecordingPlateau.seen == [0.0, 1.0, 1.0] * 3 + [0.0]
    _, top, (line,) = drawn()
    # a best of 0.0, two stalls, and 0.0 again is no better: halved every third epoch
    assert list(line.get_ydata()) == [0.05] * 16 + [0.025] * 12 + [0.0125] * 12
    assert np.array_equal(line.get_xdata(), np.linspace(0, 10, 40)) and top.get_xlim() == (0, 40)

    assert s.optimizer is opt and same(s.state_dict(), state)
    assert same(opt.state_dict(), opt_state)
    for metric in (1.0, 1.0, 1.0, 1.0, 1.0):  # later steps change the caller's optimizer
        s.step(metric)
        twin.step(metric)
        assert rates(opt) == rates(twin_opt)
    assert rates(opt) == [0.025]


def test_plateau_never_stepped_comes_back_unstepped():
    opt, s, _ = make(1)
    before = copy.deepcopy(s.state_dict())
    plot_lr_schedule(s, 4, range(2))
    assert same(s.state_dict(), before) and rates(opt) == [0.1]


def test_gradients_are_set_aside_during_the_simulation():
    opt, s, params = make("cosine", groups=2, momentum=0.9)
    for p in params:
        p.grad = torch.ones(3)
    opt.step()  # momentum buffers exist now
    s.step()
    values = [p.detach().clone() for p in params]
    grads = [p.grad for p in params]
    opt_state = copy.deepcopy(opt.state_dict())

    plot_lr_schedule(s, 2, range(5))

    assert all(torch.equal(p, v) for p, v in zip(params, values))
    assert all(p.grad is g for p, g in zip(params, grads))
    assert same(opt.state_dict(), opt_state)


@pytest.mark.filterwarnings("ignore:Seems like:UserWarning")
def test_optimizer_steps_once_per_simulated_step(monkeypatch):
    opt, s, _ = make("cosine")
    count = []
    real_step = opt.step
    monkeypatch.setattr(opt, "step", lambda *a: count.append(a) or real_step())
    plot_lr_schedule(s, 3, range(10))
    assert count == [()] * 30


@pytest.mark.parametrize("call, error, text", [
    (lambda s: plot_lr_schedule(s, 3, range(4), 0), ZeroDivisionError, None),
    (lambda s: plot_lr_schedule(s, "3", range(4)), TypeError,
     "Argument 'num_epochs' has incorrect type (expected int, got str)"),
    (lambda s: plot_lr_schedule(s, 3, range(4), max_groups=None), TypeError,
     "Argument 'max_groups' has incorrect type (expected int, got NoneType)"),
    (lambda s: plot_lr_schedule(s, 3), TypeError,
     "plot_lr_schedule() takes at least 3 positional arguments (2 given)"),
    (lambda s: plot_lr_schedule(s, 3, range(4), 1, 5, 6), TypeError,
     "plot_lr_schedule() takes at most 5 positional arguments (6 given)"),
    (lambda s: plot_lr_schedule(s, 3, range(4), groups=2), TypeError,
     "plot_lr_schedule() got an unexpected keyword argument 'groups'"),
])
def test_errors_leave_the_schedule_alone(shown, call, error, text):
    opt, s, _ = make("cosine")
    advance(opt, s, 2)
    state, lr = copy.deepcopy(s.state_dict()), rates(opt)
    with pytest.raises(error) as err:
        call(s)
    if text:
        assert str(err.value) == text
    assert same(s.state_dict(), state) and rates(opt) == lr and shown == []
