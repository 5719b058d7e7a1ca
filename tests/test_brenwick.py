"""LMTrainer: loss epochs, the training loop, generation from sampled prompts, evaluation."""

import json
import math
import os
import warnings

import numpy as np
import pytest
import torch
from torch import nn
from torch.utils.data import DataLoader

from corvantis.data.dunskell import LMDataset
from corvantis.decoding.quillane import SequenceGenerator
from corvantis.model import DecoderOnlyTransformer
from corvantis.trainers import brenwick
from corvantis.trainers.brenwick import LMTrainer
from corvantis.trainers.tolvery import BaseTrainer
from reference.progress import record_bars

TEXTS = [
    "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG",
    "A SMALL CORPUS FOR A VERY SMALL LANGUAGE MODEL",
    "EVERY LINE HERE IS LONGER THAN TWENTY CHARACTERS",
    "SHORT ONE",
    "THE DOG SLEEPS WHILE THE FOX RUNS OVER THE HILL",
    "MODELS LEARN THE LETTERS THAT FOLLOW EACH OTHER",
]
MAX_LEN = 56
LAST, BEST = "checkpoint-last-epoch-model.pth", "checkpoint-best-metric-model.pth"


# ---- fixtures --------------------------------------------------------------------------

@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """Text partitions "train" and "val" under tmp_path, also the working directory."""
    for part in ("train", "val"):
        os.makedirs(tmp_path / part)
        for i, text in enumerate(TEXTS):
            np.save(tmp_path / part / f"{i:03d}.npy", np.array(list(text)))
    (tmp_path / "run.yaml").write_text("training:\n  gradient_accumulation_steps: 1\n")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def loaders(workdir, tokenizer):
    def loader(part, batch_size=2):
        ds = LMDataset(part, {"root": str(workdir)}, tokenizer)
        return DataLoader(ds, batch_size=batch_size, collate_fn=ds.collate_fn)

    return loader("train"), loader("val")


@pytest.fixture
def make_trainer(workdir, tokenizer):
    """make_trainer(steps=1, **training keys): a tiny model, AdamW and a cosine schedule."""

    def make(steps=1, lr=3e-3, **training):
        torch.manual_seed(0)
        model = DecoderOnlyTransformer(tokenizer.num_classes, MAX_LEN, d_model=16, num_layers=1,
                                       num_heads=2, d_ff=32, dropout=0.0)
        config = {"training": {"gradient_accumulation_steps": steps, **training}, "data": {}}
        trainer = LMTrainer(model, tokenizer, config, "run", str(workdir / "run.yaml"))
        trainer.optimizer = torch.optim.AdamW(trainer.model.parameters(), lr=lr)
        trainer.scheduler = torch.optim.lr_scheduler.CosineAnnealingLR(trainer.optimizer, 100)
        return trainer

    return make


class Dataset:
    def __init__(self, chars_per_token=2.5):
        self.chars_per_token = chars_per_token

    def get_avg_chars_per_token(self):
        return self.chars_per_token


class Loader:
    """The loader members the loops use: len, iteration, dataset."""

    def __init__(self, batches, chars_per_token=2.5):
        self.batches = batches
        self.dataset = Dataset(chars_per_token)

    def __len__(self):
        return len(self.batches)

    def __iter__(self):
        return iter(self.batches)


def text_batch(*lengths, vocab=10):
    """A TextBatch of random ids with these unpadded lengths (pad id 0 after them)."""
    width = max(lengths)
    g = torch.Generator().manual_seed(sum(lengths))
    shifted = torch.randint(4, vocab, (len(lengths), width), generator=g)
    golden = torch.randint(4, vocab, (len(lengths), width), generator=g)
    for row, n in enumerate(lengths):
        shifted[row, n:] = 0
        golden[row, n:] = 0
    return shifted, golden, torch.tensor(lengths)


@pytest.fixture
def bars(monkeypatch):
    return record_bars(monkeypatch, brenwick)


class ScriptedLoss:
    """A criterion whose batch means are scripted; the gradient still reaches the logits."""

    def __init__(self, values, events=None):
        self.values, self.events, self.calls = list(values), events, []

    def __call__(self, logits, targets):
        self.calls.append((logits.shape, targets.shape, torch.is_inference_mode_enabled()))
        if self.events is not None:
            self.events.append("forward")
        return logits.sum() * 0.0 + self.values[len(self.calls) - 1]


# ---- module and construction -----------------------------------------------------------

def test_module_and_class_layout():
    names = [k for k in vars(brenwick) if not k.startswith("__")]
    assert names == ["BaseTrainer", "torch", "nn", "tqdm", "Dict", "Tuple", "Any", "Optional",
                     "List", "create_scheduler", "SequenceGenerator", "LMTrainer"]
    from corvantis.utils import create_scheduler
    from tqdm import tqdm
    assert brenwick.BaseTrainer is BaseTrainer and brenwick.tqdm is tqdm
    assert brenwick.create_scheduler is create_scheduler
    assert brenwick.SequenceGenerator is SequenceGenerator and brenwick.nn is nn
    assert LMTrainer.__bases__ == (BaseTrainer,) and not LMTrainer.__abstractmethods__
    assert LMTrainer.__module__ == "corvantis.trainers.brenwick"
    assert LMTrainer.__doc__ == ("Language Model Trainer class that handles the training, "
                                 "validation, and generation loops.")
    own = [k for k in vars(LMTrainer) if not k.startswith(("__", "_abc")) or k == "__init__"]
    assert own == ["__init__", "_train_epoch", "_validate_epoch", "train", "evaluate", "generate",
                   "_get_evaluation_generation_configs"]
    assert LMTrainer.train.__doc__ == "Full training loop for language model training."


@pytest.mark.parametrize("training, smoothing", [({}, 0.0), ({"label_smoothing": 0.1}, 0.1)])
def test_criterion(make_trainer, tokenizer, training, smoothing, capsys):
    trainer = make_trainer(**training)
    assert "Using device: " in capsys.readouterr().out
    c = trainer.criterion
    assert type(c) is nn.CrossEntropyLoss and c.reduction == "mean"
    assert (c.ignore_index, c.label_smoothing) == (tokenizer.pad_id, smoothing)


def test_constructor_passes_its_arguments_on(workdir, tokenizer):
    model = DecoderOnlyTransformer(tokenizer.num_classes, 8, d_model=8, num_layers=1, num_heads=1,
                                   d_ff=8)
    config = {"training": {}, "data": {}}
    t = LMTrainer(model=model, tokenizer=tokenizer, config=config, run_name="kw",
                  config_file=str(workdir / "run.yaml"), device="cpu")
    assert (t.device, t.config, t.current_epoch, t.optimizer) == ("cpu", config, 0, None)
    assert (workdir / "expts" / "kw" / "config.yaml").exists()
    with pytest.raises(TypeError, match="Argument 'config' has incorrect type"):
        LMTrainer(model, tokenizer, type("D", (dict,), {})(config), "kw", "run.yaml")


# ---- loss epochs ------------------------------------------------------------------------

LOOPS = ["_train_epoch", "_validate_epoch"]


@pytest.mark.parametrize("loop", LOOPS)
def test_token_weighted_metrics(make_trainer, bars, loop):
    trainer = make_trainer()
    trainer.criterion = ScriptedLoss([2.0, 1.0])
    metrics, _ = getattr(trainer, loop)(Loader([text_batch(4, 6), text_batch(15, 15)]))
    assert list(metrics) == ["ce_loss_token", "ce_loss_char", "perplexity_token", "perplexity_char"]
    assert metrics["ce_loss_token"] == 1.25 and metrics["ce_loss_char"] == 0.5
    assert metrics["perplexity_token"] == pytest.approx(3.4903, abs=1e-4)
    assert metrics["perplexity_char"] == pytest.approx(1.6487, abs=1e-4)
    # single precision, as the exponential of a default-type tensor
    assert metrics["perplexity_token"] == torch.exp(torch.tensor(1.25)).item() != math.exp(1.25)
    # the postfix shows the running token-weighted average, not the batch's loss
    assert [list(p.items())[0] for p in bars[0].postfixes] == [("ce_loss_token", "2.0000"),
                                                             ("ce_loss_token", "1.2500")]
    assert [list(p.items())[1] for p in bars[0].postfixes] == [("perplexity_token", "7.3891"),
                                                             ("perplexity_token", "3.4903")]


@pytest.mark.parametrize("loop, desc, train_mode", [
    ("_train_epoch", "[Training LM]", True), ("_validate_epoch", "[Validating LM]", False)])
def test_bar_and_model_mode(make_trainer, bars, loop, desc, train_mode):
    trainer = make_trainer()
    trainer.model.train(not train_mode)
    getattr(trainer, loop)(dataloader=Loader([text_batch(3), text_batch(2)]))
    (bar,) = bars
    assert bar.kwargs == {"total": 2, "dynamic_ncols": True, "leave": False, "position": 0,
                          "desc": desc}
    assert list(bar.kwargs) == ["total", "dynamic_ncols", "leave", "position", "desc"]
    assert bar.updates == 2 and bar.closed and trainer.model.training is train_mode
    keys = ["ce_loss_token", "perplexity_token"] + (["acc_step"] if train_mode else [])
    assert list(bar.postfixes[0]) == keys


def events_recorder(trainer, plateau):
    """Replaces the scaler, optimizer and scheduler by recorders of one event list."""
    events = []

    class Scaled:
        def __init__(self, loss):
            self.loss = loss

        def backward(self):
            events.append("backward")
            self.loss.backward()

    class Scaler:
        def scale(self, loss):
            events.append(("scale", round(loss.item(), 6)))
            return Scaled(loss)

        def step(self, optimizer):
            events.append("scaler.step")
            optimizer.step()

        def update(self):
            events.append("update")

    class Optimizer:
        def step(self):
            events.append("optimizer.step")

        def zero_grad(self):
            events.append("zero_grad")

    if plateau:
        sched = torch.optim.lr_scheduler.ReduceLROnPlateau(torch.optim.SGD([nn.Parameter(
            torch.zeros(1))], lr=1.0))
        sched.step = lambda *a: events.append("scheduler.step")
    else:
        sched = type("Sched", (), {"step": lambda self: events.append("scheduler.step")})()
    trainer.scaler, trainer.optimizer, trainer.scheduler = Scaler(), Optimizer(), sched
    return events


@pytest.mark.parametrize("batches, steps, stepped_after", [
    (10, 4, [4, 8, 10]), (8, 4, [4, 8]), (3, 4, [3]), (3, 1, [1, 2, 3])])
@pytest.mark.parametrize("plateau", [False, True])
def test_accumulation_step_order(make_trainer, bars, batches, steps, stepped_after, plateau):
    trainer = make_trainer(steps=steps)
    events = events_recorder(trainer, plateau)
    trainer.criterion = ScriptedLoss([2.0] * batches, events)
    trainer._train_epoch(Loader([text_batch(3, 2) for _ in range(batches)]))

    forwards = [i for i, e in enumerate(events) if e == "forward"]
    assert [sum(f < i for f in forwards) for i, e in enumerate(events)
            if e == "scaler.step"] == stepped_after
    window = ["scaler.step", "optimizer.step"] + ([] if plateau else ["scheduler.step"]) + [
        "update", "zero_grad"]
    expected = ["zero_grad"]
    for i in range(1, batches + 1):
        expected += ["forward", ("scale", round(2.0 / steps, 6)), "backward"]
        expected += window if i % steps == 0 else []
    expected += window if batches % steps else []
    assert events == expected
    acc = [p["acc_step"] for p in bars[0].postfixes]
    assert acc == [f"{i % steps + 1}/{steps}" for i in range(batches)]
    if batches == 10:
        assert acc == ["1/4", "2/4", "3/4", "4/4", "1/4", "2/4", "3/4", "4/4", "1/4", "2/4"]


def test_partial_window_divides_by_the_full_count(make_trainer, bars, tokenizer):
    """Three batches with N = 4: one SGD step on the sum of the three gradients over 4."""
    trainer = make_trainer(steps=4)
    reference = DecoderOnlyTransformer(tokenizer.num_classes, MAX_LEN, d_model=16, num_layers=1, num_heads=2, d_ff=32,
                                       dropout=0.0)
    reference.load_state_dict(trainer.model.state_dict())
    trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=0.5)
    trainer.scheduler = torch.optim.lr_scheduler.LambdaLR(trainer.optimizer, lambda step: 1.0)
    batches = [text_batch(5, 3, vocab=30), text_batch(4, 4, vocab=30), text_batch(6, vocab=30)]
    trainer._train_epoch(Loader(batches))

    loss_fn = nn.CrossEntropyLoss(ignore_index=0)
    for shifted, golden, lengths in batches:
        logits, _ = reference(shifted, target_lengths=lengths)
        (loss_fn(logits.view(-1, logits.size(-1)), golden.view(-1)) / 4).backward()
    with torch.no_grad():
        for p in reference.parameters():
            p -= 0.5 * p.grad
    for got, want in zip(trainer.model.parameters(), reference.parameters()):
        torch.testing.assert_close(got, want, rtol=1e-5, atol=1e-6)
    assert all(p.grad is None or not p.grad.any() for p in trainer.model.parameters())


@pytest.mark.parametrize("smoothing", [0.0, 0.1])
def test_validation_loss_matches_the_criterion(make_trainer, loaders, bars, smoothing):
    trainer = make_trainer(label_smoothing=smoothing)
    _, val = loaders
    metrics, _ = trainer._validate_epoch(val)
    loss_fn = nn.CrossEntropyLoss(ignore_index=0, label_smoothing=smoothing)
    total = tokens = 0
    with torch.no_grad():
        for shifted, golden, lengths in val:
            logits, _ = trainer.model(shifted, target_lengths=lengths)
            total += loss_fn(logits.view(-1, logits.size(-1)), golden.view(-1)).item() * lengths.sum().item()
            tokens += lengths.sum().item()
    assert metrics["ce_loss_token"] == pytest.approx(total / tokens, rel=1e-6)
    assert metrics["ce_loss_char"] == metrics["ce_loss_token"] / val.dataset.get_avg_chars_per_token()


def autocast_on():
    try:  # PyTorch 2.4 asks per device type, and deprecates the CPU's own query
        return torch.is_autocast_enabled("cpu") or torch.is_autocast_enabled("cuda")
    except TypeError:
        return torch.is_autocast_enabled() or torch.is_autocast_cpu_enabled()


class Watched(nn.Module):
    """Wraps a model: records the autograd, inference and autocast state of each forward."""

    def __init__(self, inner):
        super().__init__()
        self.inner, self.seen, self.maps = inner, [], []

    def forward(self, x, target_lengths=None):
        self.seen.append((torch.is_grad_enabled(), torch.is_inference_mode_enabled(), autocast_on()))
        logits, maps = self.inner(x, target_lengths=target_lengths)
        self.maps.append(maps)
        return logits, maps


@pytest.mark.parametrize("cpu_bfloat16", [False, True])
@pytest.mark.parametrize("loop", LOOPS)
def test_precision_and_modes_of_the_forward_pass(make_trainer, bars, loop, cpu_bfloat16):
    trainer = make_trainer()
    trainer.config["training"]["cpu_bfloat16"] = cpu_bfloat16
    trainer.model = Watched(trainer.model)
    loader = Loader([text_batch(3, 2), text_batch(4)])
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no autocast warning on devices without float16
        _, maps = getattr(trainer, loop)(loader)
    # float16 on a GPU; bfloat16 on the CPU only when asked for, and only in training
    cuda = torch.device(trainer.device).type == "cuda"
    expected = (True, False, cuda or cpu_bfloat16) if loop == "_train_epoch" else (False, True, False)
    assert trainer.model.seen == [expected, expected]
    assert maps is trainer.model.maps[-1] and maps is not trainer.model.maps[0]


def test_validation_needs_no_accumulation_count(make_trainer, bars):
    trainer = make_trainer()
    del trainer.config["training"]["gradient_accumulation_steps"]
    trainer.optimizer = trainer.scheduler = trainer.scaler = None
    trainer._validate_epoch(Loader([text_batch(3)]))


def test_missing_accumulation_count_fails_before_the_backward_pass(make_trainer, bars):
    trainer = make_trainer()
    del trainer.config["training"]["gradient_accumulation_steps"]
    trainer.criterion = ScriptedLoss([1.0])
    with pytest.raises(KeyError, match="gradient_accumulation_steps"):
        trainer._train_epoch(Loader([text_batch(3)]))
    assert len(trainer.criterion.calls) == 1
    assert all(p.grad is None for p in trainer.model.parameters())


@pytest.mark.parametrize("loop, loader, error, message", [
    ("_train_epoch", Loader([]), ZeroDivisionError, "float division by zero"),
    ("_validate_epoch", Loader([]), ZeroDivisionError, "float division by zero"),
    ("_validate_epoch", Loader([text_batch(3)], chars_per_token=0), ZeroDivisionError,
     "float division by zero"),
    ("_train_epoch", Loader([text_batch(3)[:2]]), ValueError,
     "not enough values to unpack (expected 3, got 2)"),
    ("_validate_epoch", Loader([text_batch(3) + (None,)]), AttributeError, "to"),
])
def test_loop_failures(make_trainer, bars, loop, loader, error, message):
    trainer = make_trainer()
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        getattr(trainer, loop)(loader)


def test_zero_accumulation_count_fails_at_the_modulo_test(make_trainer, bars):
    trainer = make_trainer(steps=0)
    with pytest.raises(ZeroDivisionError):
        trainer._train_epoch(Loader([text_batch(3)]))
    assert any(p.grad is not None for p in trainer.model.parameters())  # after the backward pass


def test_model_must_return_two_items(make_trainer, bars):
    trainer = make_trainer()
    inner = trainer.model
    trainer.model = type("Three", (nn.Module,), {
        "forward": lambda self, x, target_lengths=None: (*inner(x, target_lengths=target_lengths), 0)})()
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        trainer._validate_epoch(Loader([text_batch(3)]))


@pytest.mark.parametrize("call", [lambda t: t._train_epoch(), lambda t: t._validate_epoch(1, 2)])
def test_loops_take_one_loader(make_trainer, call):
    with pytest.raises(TypeError, match="takes exactly 2 positional arguments"):
        call(make_trainer())


# ---- the training loop ---------------------------------------------------------------

def metrics(ce_char):
    return {"ce_loss_token": 9.0, "ce_loss_char": ce_char, "perplexity_token": 1.0,
            "perplexity_char": 1.0}


def scripted(trainer, val_losses, maps=None):
    """Scripts the three per-epoch steps and records what train hands on."""
    maps = maps if maps is not None else {"first": torch.rand(2, 3, 3), "second": torch.rand(2, 3, 3)}
    log = {"saves": [], "plots": [], "texts": []}
    values = iter(val_losses)
    trainer._train_epoch = lambda loader: (metrics(0.0), maps)
    trainer._validate_epoch = lambda loader: (metrics(next(values)), maps)
    trainer.generate = lambda loader: [{"prompt": "p", "epoch": trainer.current_epoch}]
    base_save = trainer.save_checkpoint
    trainer.save_checkpoint = lambda name: (
        log["saves"].append((name, trainer.current_epoch, trainer.best_metric)), base_save(name))
    trainer._save_attention_plot = lambda m, epoch, kind: log["plots"].append((m, epoch, kind))
    base_text = trainer._save_generated_text
    trainer._save_generated_text = lambda text, suffix: (log["texts"].append(suffix),
                                                         base_text(text, suffix))
    return log


def test_best_checkpoint_over_three_epochs(make_trainer):
    trainer = make_trainer()
    log = scripted(trainer, [2.0, 1.5, 1.7])
    trainer.train(None, None, 3)
    assert log["saves"] == [(LAST, 0, math.inf), (BEST, 0, 2.0), (LAST, 1, 2.0), (BEST, 1, 1.5),
                            (LAST, 2, 1.5)]
    assert (trainer.best_metric, trainer.current_epoch) == (1.5, 3)
    assert [h["epoch"] for h in trainer.training_history] == [0, 1, 2]
    assert list(trainer.training_history[0])[:3] == ["epoch", "train", "val"]
    assert log["texts"] == ["val_epoch_0", "val_epoch_1", "val_epoch_2"]
    text = json.loads((trainer.text_dir / "text_val_epoch_1.json").read_text())
    assert text == [{"prompt": "p", "epoch": 1}]


def test_second_call_continues_the_epochs_with_its_own_best(make_trainer):
    trainer = make_trainer()
    log = scripted(trainer, [1.0, 3.0, 2.0, math.nan, 3.0, 3.0])
    trainer.train(None, None, 1)
    trainer.train(None, None, 2.9)  # converted as int() converts: two epochs
    assert [s for s in log["saves"] if s[0] == BEST] == [(BEST, 0, 1.0), (BEST, 1, 3.0),
                                                           (BEST, 2, 2.0)]
    assert log["texts"] == ["val_epoch_0", "val_epoch_1", "val_epoch_2"]
    trainer.current_epoch = 5
    trainer.train(None, None, 3)
    assert log["texts"][-3:] == ["val_epoch_5", "val_epoch_6", "val_epoch_7"]
    # not a number is never an improvement, an equal value neither
    assert [s for s in log["saves"] if s[0] == BEST][-1] == (BEST, 6, 3.0)
    assert len(log["saves"]) == 2 + 4 + 4
    assert trainer.current_epoch == 8 and trainer.best_metric == 3.0


def test_only_the_first_attention_entry_is_plotted(make_trainer):
    trainer = make_trainer()
    maps = {"b": torch.rand(2, 4, 4), "a": torch.rand(2, 4, 4)}
    log = scripted(trainer, [1.0], maps)
    trainer.train(None, None, 1)
    assert [(kind, epoch) for _, epoch, kind in log["plots"]] == [("train_self", 0), ("val_self", 0)]
    assert all(torch.equal(m, maps["b"][0]) for m, _, _ in log["plots"])


def test_empty_attention_is_not_plotted(make_trainer):
    trainer = make_trainer()
    log = scripted(trainer, [1.0], maps={})
    trainer.train(None, None, 1)
    assert log["plots"] == [] and trainer.current_epoch == 1


@pytest.mark.parametrize("plateau", [False, True])
def test_plateau_scheduler_steps_on_the_loss_per_character(make_trainer, plateau):
    trainer = make_trainer()
    scripted(trainer, [2.0, 1.5])
    stepped = []
    if plateau:
        trainer.scheduler = torch.optim.lr_scheduler.ReduceLROnPlateau(trainer.optimizer)
    trainer.scheduler.step = lambda *args: stepped.append(args)
    trainer.save_checkpoint = lambda name: None  # the recording scheduler does not pickle
    trainer.train(None, None, 2)
    assert stepped == ([(2.0,), (1.5,)] if plateau else [])


@pytest.mark.parametrize("scheduler, optimizer, message", [
    (None, True, "Scheduler is not initialized, initialize it first!"),
    (None, None, "Scheduler is not initialized, initialize it first!"),
    (True, None, "Optimizer is not initialized, initialize it first!"),
])
def test_train_needs_optimizer_and_scheduler(make_trainer, scheduler, optimizer, message):
    trainer = make_trainer()
    trainer.scheduler = trainer.scheduler if scheduler else None
    trainer.optimizer = trainer.optimizer if optimizer else None
    with pytest.raises(ValueError) as e:
        trainer.train(None, None, 1)
    assert str(e.value) == message


def test_train_arguments(make_trainer):
    trainer = make_trainer()
    trainer.scheduler = None
    with pytest.raises(TypeError) as e:  # before the preconditions
        trainer.train(None, None, "3")
    assert str(e.value) == "Argument 'epochs' has incorrect type (expected int, got str)"
    with pytest.raises(TypeError, match="takes exactly 4 positional arguments"):
        trainer.train(None, None)


@pytest.mark.parametrize("epochs", [0, -2])
def test_no_epochs(make_trainer, epochs):
    trainer = make_trainer()
    log = scripted(trainer, [])
    trainer.train(train_dataloader=None, val_dataloader=None, epochs=epochs)
    assert log == {"saves": [], "plots": [], "texts": []} and trainer.training_history == []
    assert trainer.current_epoch == 0


def test_failed_epoch_keeps_its_number(make_trainer):
    trainer = make_trainer()
    log = scripted(trainer, [1.0, 1.0])
    trainer.train(None, None, 1)
    trainer.generate = lambda loader: 1 / 0
    with pytest.raises(ZeroDivisionError):
        trainer.train(None, None, 2)
    assert trainer.current_epoch == 1 and len(log["saves"]) == 2


def test_training_lowers_the_loss_and_writes_the_epoch_files(make_trainer, loaders, capsys):
    trainer = make_trainer(lr=1e-2)
    train, val = loaders
    trainer.train(train, val, 2)
    trainer.train(train, val, 2)
    history = trainer.training_history
    assert [h["epoch"] for h in history] == [0, 1, 2, 3] and trainer.current_epoch == 4
    losses = [h["train"]["ce_loss_token"] for h in history]
    assert all(b < a for a, b in zip(losses, losses[1:]))
    assert history[-1]["val"]["ce_loss_char"] < history[0]["val"]["ce_loss_char"] - 0.2
    assert capsys.readouterr().out.count("Generating with greedy search...") == 4
    files = sorted(os.listdir(trainer.text_dir))
    assert files == [f"text_val_epoch_{e}.json" for e in range(4)]
    results = json.loads((trainer.text_dir / "text_val_epoch_3.json").read_text())
    assert len(results) == 5 and list(results[0]) == ["prompt", "original", "generated", "score"]
    assert {f"{k}_self_attention_epoch{e}.png" for k in ("train", "val") for e in range(4)} <= set(
        os.listdir(trainer.attn_dir))
    assert sorted(os.listdir(trainer.checkpoint_dir)) == [BEST, LAST]
    assert trainer.model.training is False


# ---- generation -----------------------------------------------------------------------

class Spy(SequenceGenerator):
    """The real generator, recording how it was built and which search ran."""

    made = []

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.kwargs, self.searches = kwargs, []
        Spy.made.append(self)

    def generate_greedy(self, x, **kw):
        self.searches.append(("greedy", x.shape, kw))
        return super().generate_greedy(x, **kw)

    def generate_beam(self, x, **kw):
        self.searches.append(("beam", x.shape, kw))
        return super().generate_beam(x, **kw)

    def generate_sample(self, x, **kw):
        self.searches.append(("sample", x.shape, kw))
        return super().generate_sample(x, **kw)


@pytest.fixture
def spy(monkeypatch):
    Spy.made = []
    monkeypatch.setattr(brenwick, "SequenceGenerator", Spy)
    return Spy.made


@pytest.mark.parametrize("config, line, search, prompt_length, keywords", [
    (None, "greedy search", "greedy", 20, {"temperature": 1.0, "repeat_penalty": 1.0}),
    ({"beam_width": 4}, "beam search", "beam", 10,
     {"beam_width": 4, "temperature": 1.0, "repeat_penalty": 1.0}),
    ({"top_k": 0, "top_p": 1.0}, "sampling", "sample", 10,
     {"temperature": 1.0, "top_k": 0, "top_p": 1.0}),
    ({"top_k": 5, "beam_width": 4}, "sampling", "sample", 10,
     {"temperature": 1.0, "top_k": 5, "top_p": 1.0}),
    ({"max_length": 3, "prompt_length": 12, "temperature": 0.5}, "greedy search", "greedy", 12,
     {"temperature": 0.5, "repeat_penalty": 1.0}),
])
def test_search_chosen_by_the_settings(make_trainer, loaders, spy, capsys, config, line, search,
                                       prompt_length, keywords):
    trainer = make_trainer()
    _, val = loaders
    drawn = []
    sample_prompts = val.dataset.sample_prompts
    val.dataset.sample_prompts = lambda **kw: drawn.append(kw) or sample_prompts(**kw)
    trainer.model.train()
    capsys.readouterr()
    results = trainer.generate(val, config) if config else trainer.generate(val)
    assert capsys.readouterr().out == f"Generating with {line}...\n"
    assert drawn == [{"num_samples": 10, "prompt_length": prompt_length, "seed": 52917}]
    (g,) = spy
    assert list(g.kwargs) == ["score_fn", "tokenizer", "max_length", "device"]
    assert (g.max_length, g.device, g.tokenizer) == (MAX_LEN, trainer.device, trainer.tokenizer)
    assert g.score_fn.__qualname__ == "LMTrainer.generate.<locals>.<lambda>"
    assert g.searches == [(search, (5, prompt_length), keywords)]
    assert len(results) == 5 and trainer.model.training is False
    for r in results:
        assert list(r) == ["prompt", "original", "generated", "score"]
        assert r["prompt"].startswith("<sos>") and len(r["prompt"]) == 5 + prompt_length - 1
        assert isinstance(r["score"], float)


def test_score_closure_reads_the_model_at_every_call(make_trainer, loaders, spy):
    trainer = make_trainer()
    _, val = loaders
    trainer.generate(val, {"num_samples": 1})
    calls = []
    model = trainer.model
    trainer.model = type("M", (), {"score": lambda self, x: calls.append(x) or model.score(x),
                                   "max_len": MAX_LEN, "eval": lambda self: None})()
    spy[0].score_fn(torch.ones(2, 3, dtype=torch.long))
    assert len(calls) == 1 and calls[0].shape == (2, 3)


def test_generator_refusals_propagate(make_trainer, loaders):
    trainer = make_trainer()
    _, val = loaders
    with pytest.raises(ValueError, match=r"top_p must be > 0 and <= 1.0"):
        trainer.generate(val, {"top_k": 10, "top_p": 0.0})
    trainer.model.max_len = 15  # below the default prompt length of 20
    with pytest.raises(ValueError, match="max_length must be >= input sequence length"):
        trainer.generate(val)


@pytest.mark.parametrize("config", [type("D", (dict,), {})(), [], "greedy"])
def test_generation_config_must_be_a_dict(make_trainer, config):
    with pytest.raises(TypeError) as e:
        make_trainer().generate(None, config)
    assert str(e.value) == (f"Argument 'generation_config' has incorrect type (expected dict, "
                            f"got {type(config).__name__})")


class ListTokenizer:
    pad_id, sos_id, eos_id, num_classes = 0, 1, 2, 20

    def decode(self, ids):
        return " ".join(map(str, ids))


class Beams(SequenceGenerator):
    def generate_beam(self, x, beam_width, temperature=1.0, repeat_penalty=1.0):
        seqs = torch.tensor([[[1, 5, 10, 2, 0, 0], [1, 5, 3, 3, 3, 3]],
                             [[1, 6, 11, 12, 13, 14], [1, 6, 2, 0, 0, 0]]])
        return seqs, torch.tensor([[-1.0, -2.0], [-3.0, -4.0]])


def test_beam_results_keep_the_best_beam_trimmed(make_trainer, monkeypatch):
    trainer = make_trainer()
    trainer.tokenizer = ListTokenizer()
    monkeypatch.setattr(brenwick, "SequenceGenerator", Beams)
    prompts = torch.tensor([[1, 5], [1, 6]])
    full = [torch.tensor([1, 5, 7, 8, 2]), torch.tensor([1, 6, 9])]
    loader = Loader([])
    loader.dataset.sample_prompts = lambda **kw: (prompts, full)
    results = trainer.generate(loader, {"beam_width": 2})
    assert results == [
        {"prompt": "1 5", "original": "7 8 2", "generated": "10 2", "score": -1.0},
        # no end token before max_len: the sequence stays whole
        {"prompt": "1 6", "original": "9", "generated": "11 12 13 14", "score": -3.0},
    ]


def test_evaluation_settings():
    class T:
        model = type("M", (), {"max_len": 77})()

    configs = LMTrainer._get_evaluation_generation_configs(T())
    common = {"num_samples": 50, "prompt_length": 10, "seed": 52917, "max_length": 77}
    assert configs == {
        "greedy": {**common, "temperature": 1.0, "beam_width": 1, "repeat_penalty": 1.0,
                   "top_k": 0, "top_p": 0.0},
        "beam": {**common, "temperature": 1.0, "beam_width": 10, "repeat_penalty": 1.2,
                 "top_k": 0, "top_p": 0.0},
        "sample": {**common, "temperature": 1.0, "beam_width": 1, "repeat_penalty": 1.0,
                   "top_k": 10, "top_p": 0.95},
    }
    assert [list(c) for c in configs.values()] == [list(common) + [
        "temperature", "beam_width", "repeat_penalty", "top_k", "top_p"]] * 3
    again = LMTrainer._get_evaluation_generation_configs(T())
    again["beam"]["top_k"] = 3
    assert again is not configs and again["greedy"] is not again["beam"]
    assert again["greedy"] == configs["greedy"] and configs["beam"]["top_k"] == 0


# ---- evaluation -----------------------------------------------------------------------

@pytest.mark.parametrize("epoch", [0, 3])
def test_evaluate_all_settings(make_trainer, loaders, capsys, epoch):
    trainer = make_trainer()
    trainer.current_epoch, trainer.best_metric = epoch, 0.25
    _, val = loaders
    metrics, generated = trainer.evaluate(val)
    out = capsys.readouterr().out
    lines = [l for l in out.splitlines() if l.startswith("Generating")]
    assert lines == ["Generating with greedy search...", "Generating with beam search...",
                     "Generating with sampling..."]
    assert list(generated) == ["greedy", "beam", "sample"]
    assert all(len(r) == 5 for r in generated.values())
    assert all(len(x["prompt"]) == 5 + 9 for r in generated.values() for x in r)
    assert list(metrics) == ["ce_loss_token", "ce_loss_char", "perplexity_token", "perplexity_char"]
    assert trainer.training_history[-1]["epoch"] == epoch
    assert trainer.training_history[-1]["test"] is metrics
    assert sorted(os.listdir(trainer.text_dir)) == [
        f"text_test_epoch_{epoch}_{name}.json" for name in ("beam", "greedy", "sample")]
    saved = json.loads((trainer.text_dir / f"text_test_epoch_{epoch}_beam.json").read_text())
    assert saved == json.loads(json.dumps(generated["beam"]))
    assert f"test_self_attention_epoch{epoch}.png" in os.listdir(trainer.attn_dir)
    assert (trainer.current_epoch, trainer.best_metric) == (epoch, 0.25)
    assert os.listdir(trainer.checkpoint_dir) == []


def test_evaluate_skips_a_failing_setting(make_trainer, loaders, capsys):
    trainer = make_trainer()
    _, val = loaders
    configs = trainer._get_evaluation_generation_configs

    def with_broken_beam():
        c = configs()
        c["beam"]["prompt_length"] = 1000  # no transcript is that long: nothing to stack
        return c

    trainer._get_evaluation_generation_configs = with_broken_beam
    _, generated = trainer.evaluate(val)
    out = capsys.readouterr().out
    assert ("Could not generate results for beam: stack expects a non-empty TensorList: no "
            "prompt to draw (num_samples 50; 0 of 6 transcripts are longer than prompt_length "
            "1000)\n") in out
    assert list(generated) == ["greedy", "sample"]
    assert "Generating with sampling..." in out
    assert sorted(os.listdir(trainer.text_dir)) == ["text_test_epoch_0_greedy.json",
                                                    "text_test_epoch_0_sample.json"]


def test_evaluate_keeps_results_whose_save_failed(make_trainer, loaders, capsys):
    trainer = make_trainer()
    _, val = loaders
    trainer._save_generated_text = lambda results, suffix: 1 / 0
    _, generated = trainer.evaluate(val)
    assert list(generated) == ["greedy", "beam", "sample"]
    assert capsys.readouterr().out.count("Could not generate results for ") == 3


def test_evaluate_stops_on_an_interrupt(make_trainer, loaders):
    trainer = make_trainer()
    _, val = loaders

    def interrupted(loader, generation_config=None):
        raise KeyboardInterrupt

    trainer.generate = interrupted
    with pytest.raises(KeyboardInterrupt):
        trainer.evaluate(val)


def test_evaluate_fails_on_an_empty_loader(make_trainer):
    trainer = make_trainer()
    trainer.generate = lambda *a, **k: pytest.fail("nothing is generated")
    with pytest.raises(ZeroDivisionError):
        trainer.evaluate(Loader([]))
