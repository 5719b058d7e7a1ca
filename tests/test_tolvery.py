"""BaseTrainer: set-up and experiment directory, experiment tracking, the metric
tree, heat-maps and text files, checkpoints (crash-safe saving, restricted
loading) and clean-up."""

import abc
import collections
import io
import json
import os
import pathlib
import signal
import subprocess
import sys
import types
import warnings
import zipfile

import matplotlib.pyplot as plt
import pytest
import torch

import _compatcheck
from corvantis.data.tokenizer import ZelTokenizer
from corvantis.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from corvantis.trainers import tolvery
from corvantis.trainers.tolvery import BaseTrainer
from corvantis.utils import create_scheduler, yarrowind
from reference.checkpoint import Trainer, same

ROOT = pathlib.Path(__file__).resolve().parents[1]

# SequentialLR steps its next scheduler with an epoch argument at the milestone
pytestmark = pytest.mark.filterwarnings("ignore:The epoch parameter:UserWarning")


@pytest.fixture(autouse=True)
def workdir(tmp_path, monkeypatch):
    """Every test runs in its own directory, so "expts" lands there."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "run.yaml").write_text("training: {}\n")
    yield tmp_path
    plt.close("all")


@pytest.fixture
def tok():
    return ZelTokenizer()


def text_model(tok, cls=DecoderOnlyTransformer):
    torch.manual_seed(0)
    return cls(tok.num_classes, 16, d_model=8, num_layers=1, num_heads=2, d_ff=16)


def speech_model(tok):
    torch.manual_seed(0)
    return EncoderDecoderTransformer(
        input_dim=6, num_classes=tok.num_classes, d_model=8, num_encoder_layers=1,
        num_decoder_layers=1, num_encoder_heads=2, num_decoder_heads=2, d_ff_encoder=16,
        d_ff_decoder=16, dropout=0.0, max_len=120, time_reduction=4, reduction_method="conv")


def config(data=None, **training):
    return {"training": dict(training), "data": {"num_feats": 6} if data is None else data}


def make(tok, cfg=None, run="run", model=None, device="cpu"):
    model = text_model(tok) if model is None else model
    return Trainer(model, tok, config() if cfg is None else cfg, run, "run.yaml", device=device)


@pytest.fixture
def trainer(tok, capsys):
    t = make(tok)
    capsys.readouterr()
    return t


def with_optimizer(t, lr=0.00025):
    t.optimizer = torch.optim.Adam(t.model.parameters(), lr=lr)
    return t


def lines(capsys):
    return capsys.readouterr().out.splitlines()


class Recorder:
    """Stands in for a callable: records each call and returns `result`."""

    def __init__(self, result=None):
        self.calls, self.result = [], result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


class Table:
    def __str__(self):
        return "TABLE\nTEXT"


@pytest.fixture
def fake_summary(monkeypatch):
    recorder = Recorder(Table())
    monkeypatch.setattr(tolvery, "summary", recorder)
    return recorder


# ---- the module and the class ----------------------------------------------


def test_module_binds_its_dependencies():
    from corvantis.utils.summary import summary
    import seaborn
    import typing

    expected = {"json": json, "Path": pathlib.Path, "torch": torch, "plt": plt, "sns": seaborn,
                "nn": torch.nn, "ZelTokenizer": ZelTokenizer, "yarrowind": yarrowind,
                "DecoderOnlyTransformer": DecoderOnlyTransformer,
                "EncoderDecoderTransformer": EncoderDecoderTransformer, "os": os,
                "shutil": __import__("shutil"), "ABC": abc.ABC,
                "abstractmethod": abc.abstractmethod, "Dict": typing.Dict, "Any": typing.Any,
                "Optional": typing.Optional, "Tuple": typing.Tuple, "summary": summary}
    for name, value in expected.items():
        assert getattr(tolvery, name) is value, name


def run_python(code, **env):
    environ = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "MPLBACKEND")}
    environ.update(PYTHONPATH=str(ROOT), **env)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=environ, cwd=ROOT, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.split()


def test_import_touches_no_tracking_client_and_no_device():
    code = ("import sys, torch\n"
            "torch.cuda.is_available = lambda: sys.exit('probed a device')\n"
            "import corvantis.trainers.tolvery\n"
            "print('wandb' in sys.modules)")
    assert run_python(code) == ["False"]


@pytest.mark.parametrize("before, env, backend", [
    ("", {}, "agg"),                                   # no display: drawn with Agg
    ("", {"MPLBACKEND": "svg"}, "svg"),                # the user's choice stays
    ("import matplotlib; matplotlib.use('pdf')\n", {}, "pdf"),
    ("import matplotlib.pyplot\n", {}, "agg"),         # settled before us
    # a system-wide GUI backend that matplotlib would keep without a display
    ("import matplotlib; matplotlib.rcParams['backend_fallback'] = False\n"
     "matplotlib.rcParams['backend'] = 'TkAgg'\n", {}, "agg"),
])
def test_plot_backend_without_a_display(before, env, backend):
    code = before + ("import corvantis.trainers.tolvery, matplotlib\n"
                     "print(matplotlib.get_backend().lower())")
    assert run_python(code, **env) == [backend]


def test_class_is_abstract_with_four_steps(trainer):
    assert type(BaseTrainer) is abc.ABCMeta and BaseTrainer.__bases__ == (abc.ABC,)
    assert BaseTrainer.__abstractmethods__ == {"_train_epoch", "_validate_epoch", "train",
                                               "evaluate"}
    methods = [n for n, v in vars(BaseTrainer).items() if callable(v) and n != "__doc__"]
    assert methods == ["__init__", "_train_epoch", "_validate_epoch", "train", "evaluate",
                       "_init_experiment", "_log_metrics", "_save_attention_plot",
                       "_save_generated_text", "save_checkpoint", "load_checkpoint", "cleanup"]
    assert BaseTrainer.__module__ == "corvantis.trainers.tolvery"
    for step, args in [("_train_epoch", 1), ("_validate_epoch", 1), ("train", 2),
                       ("evaluate", 1)]:
        assert getattr(BaseTrainer, step)(trainer, *[None] * args) is None


def test_a_missing_step_leaves_the_class_abstract(tok):
    class Partial(BaseTrainer):
        def _train_epoch(self, dataloader):
            return {}, {}

    for cls in (BaseTrainer, Partial):
        with pytest.raises(TypeError, match="abstract"):
            cls(text_model(tok), tok, config(), "run", "run.yaml")
    assert not pathlib.Path("expts").exists()


# ---- construction and the experiment directory -----------------------------


def test_construction_sets_every_attribute_in_order(tok, capsys, workdir):
    cfg = config()
    model = text_model(tok)
    t = Trainer(model, tok, cfg, "run", "run.yaml", device="cpu")
    assert list(vars(t)) == [
        "device", "model", "tokenizer", "config", "optimizer", "scheduler", "scaler",
        "use_wandb", "expt_root", "checkpoint_dir", "attn_dir", "text_dir", "best_model_path",
        "last_model_path", "current_epoch", "best_metric", "training_history"]
    assert t.model is model and t.tokenizer is tok and t.config is cfg
    assert t.optimizer is None and t.scheduler is None
    root = workdir / "expts" / "run"
    assert (t.expt_root, t.checkpoint_dir, t.attn_dir, t.text_dir) == (
        root, root / "checkpoints", root / "attn", root / "text")
    assert t.best_model_path == root / "checkpoints" / "checkpoint-best-metric-model.pth"
    assert t.last_model_path == root / "checkpoints" / "checkpoint-last-epoch-model.pth"
    assert sorted(p.name for p in root.iterdir()) == [
        "attn", "checkpoints", "config.yaml", "model_arch.txt", "text"]
    assert not any(list((root / d).iterdir()) for d in ("attn", "checkpoints", "text"))
    assert (root / "config.yaml").read_text() == "training: {}\n"
    assert t.current_epoch == 0 and t.best_metric == float("inf") and t.training_history == []
    assert t.use_wandb is False and not hasattr(t, "wandb_run")
    assert lines(capsys)[0] == "Using device: cpu"


def test_default_device_follows_cuda_availability(tok, capsys, monkeypatch, device):
    class Moved(DecoderOnlyTransformer):
        def to(self, device):
            self.moved_to = device
            return super().to(device)

    # the CPU case runs on a CUDA machine too, with its device hidden
    monkeypatch.setattr(torch.cuda, "is_available", lambda: device == "cuda")
    with warnings.catch_warnings():
        if device == "cpu":
            warnings.simplefilter("error")  # the CPU scaler warns about nothing
        t = make(tok, model=text_model(tok, Moved), device=None)
    assert t.device == device and t.model.moved_to == device
    assert next(t.model.parameters()).device.type == device
    assert lines(capsys)[0] == f"Using device: {device}"
    assert t.scaler.is_enabled() == (device == "cuda")


def test_explicit_device_is_used_unchecked(tok, capsys, monkeypatch):
    monkeypatch.setattr(torch.cuda, "is_available", Recorder(True))
    t = make(tok, device="cpu")
    assert t.device == "cpu" and torch.cuda.is_available.calls == []


class Text(str):
    pass


@pytest.mark.parametrize("change, text", [
    (dict(cfg=collections.OrderedDict(training={})), "Argument 'config' has incorrect type "
     "(expected dict, got collections.OrderedDict)"),
    (dict(run_name=Text("run")), "Argument 'run_name' has incorrect type (expected str, got "
     "Text)"),
    (dict(config_file=None), "Argument 'config_file' has incorrect type (expected str, got "
     "NoneType)"),
    (dict(device=0), "Argument 'device' has incorrect type (expected str, got int)"),
    (dict(device=Text("cpu")), "Argument 'device' has incorrect type (expected str, got Text)"),
])
def test_argument_types_are_checked_first(tok, capsys, change, text):
    args = dict(cfg=config(), run_name="run", config_file="run.yaml", device="cpu")
    args.update(change)
    with pytest.raises(TypeError) as e:
        Trainer(text_model(tok), tok, args["cfg"], args["run_name"], args["config_file"],
                args["device"])
    assert str(e.value) == text
    assert capsys.readouterr().out == "" and not pathlib.Path("expts").exists()


def test_missing_training_section_fails_before_any_directory(tok, capsys):
    with pytest.raises(KeyError, match="'training'"):
        make(tok, cfg={"data": {}})
    assert lines(capsys) == ["Using device: cpu"] and not pathlib.Path("expts").exists()


@pytest.mark.parametrize("kind, data, sizes", [
    ("text", {}, [(8, 16), (8,)]),
    ("text", {"batch_size": 3}, [(3, 16), (3,)]),
    ("speech", {"num_feats": 6}, [(8, 1000, 6), (8, 100), (8,), (8,)]),
    ("speech", {"num_feats": 6, "batch_size": 2}, [(2, 1000, 6), (2, 100), (2,), (2,)]),
])
def test_model_summary_inputs(tok, capsys, fake_summary, kind, data, sizes):
    model = text_model(tok) if kind == "text" else speech_model(tok)
    t = make(tok, cfg=config(data=data), model=model)
    assert (t.expt_root / "model_arch.txt").read_text() == "TABLE\nTEXT"
    [(args, kwargs)] = fake_summary.calls
    assert args == (model,)
    if kind == "text":
        assert kwargs == {"input_size": sizes, "dtypes": [torch.long, torch.long]}
        return
    assert list(kwargs) == ["input_data", "dtypes"]
    assert kwargs["dtypes"] == [torch.float32, torch.long, torch.long, torch.long]
    feats, targets, feat_lengths, target_lengths = kwargs["input_data"]
    assert [tuple(x.shape) for x in kwargs["input_data"]] == sizes
    assert [x.dtype for x in kwargs["input_data"]] == kwargs["dtypes"]
    assert all(x.device.type == "cpu" for x in kwargs["input_data"])
    assert 0 <= targets.min() and targets.max() < tok.num_classes
    assert 500 <= feat_lengths.min() and feat_lengths.max() < 1000
    assert 50 <= target_lengths.min() and target_lengths.max() < 100


@pytest.mark.parametrize("kind", ["text", "speech"])
def test_real_summary_is_written(tok, capsys, kind):
    model = text_model(tok) if kind == "text" else speech_model(tok)
    t = make(tok, model=model)
    text = (t.expt_root / "model_arch.txt").read_text()
    assert text.splitlines()[3].startswith(type(model).__name__)
    assert "Total params: " in text


def test_model_of_both_kinds_is_summarised_as_a_language_model(tok, capsys, fake_summary):
    class Both(DecoderOnlyTransformer, EncoderDecoderTransformer):
        pass

    make(tok, model=text_model(tok, Both), cfg=config(data={}))
    assert list(fake_summary.calls[0][1]) == ["input_size", "dtypes"]


@pytest.mark.parametrize("model, cfg, error, text", [
    (lambda tok: torch.nn.Linear(2, 2), config(), NotImplementedError,
     "Model architecture summary not implemented"),
    (text_model, {"training": {}}, KeyError, "'data'"),
    (speech_model, config(data={}), KeyError, "'num_feats'"),
])
def test_summary_failures_leave_the_copy_and_an_empty_summary(tok, capsys, model, cfg, error,
                                                              text):
    with pytest.raises(error) as e:
        make(tok, model=model(tok), cfg=cfg)
    assert str(e.value) == text
    root = pathlib.Path("expts", "run")
    assert sorted(p.name for p in root.iterdir()) == ["config.yaml", "model_arch.txt"]
    assert (root / "model_arch.txt").read_text() == ""


def test_missing_configuration_file(tok, capsys):
    with pytest.raises(FileNotFoundError):
        Trainer(text_model(tok), tok, config(), "run", "absent.yaml")
    assert pathlib.Path("expts", "run").is_dir()


def test_nested_run_name_and_reuse_of_a_directory(tok, capsys, workdir):
    t = make(tok, run="group/run")
    assert t.expt_root == workdir / "expts" / "group" / "run"
    (t.checkpoint_dir / "kept.pth").write_bytes(b"x")
    (workdir / "run.yaml").write_text("second\n")
    again = make(tok, run="group/run")
    assert (again.checkpoint_dir / "kept.pth").read_bytes() == b"x"
    assert (again.expt_root / "config.yaml").read_text() == "second\n"


def test_init_experiment_checks_its_arguments(trainer):
    with pytest.raises(TypeError, match="Argument 'config_file' has incorrect type"):
        trainer._init_experiment("run", pathlib.Path("run.yaml"))


# ---- experiment tracking -----------------------------------------------------


@pytest.fixture
def wandb(monkeypatch):
    """A recording stand-in for the tracking client."""
    module = types.ModuleType("wandb")
    module.calls = []

    def record(name, result=None):
        def call(*args, **kwargs):
            module.calls.append((name, args, kwargs))
            return result(*args) if callable(result) else result
        return call

    module.init = record("init", types.SimpleNamespace(id="run-1"))
    module.log = record("log")
    module.save = record("save")
    module.finish = record("finish")
    module.Image = record("Image", lambda path: ("image", path))
    monkeypatch.setitem(sys.modules, "wandb", module)
    return module


@pytest.mark.parametrize("training", [
    {}, {"use_wandb": False}, {"use_wandb": 0, "wandb_run_id": "abc"}])
def test_tracking_off_never_imports_the_client(tok, capsys, monkeypatch, training):
    monkeypatch.setitem(sys.modules, "wandb", None)  # importing it would fail
    t = make(tok, cfg=config(**training))
    with_optimizer(t)
    t._log_metrics({"train": {"loss": 1.0}}, 1)
    t._save_attention_plot(torch.eye(3), 1)
    t._save_generated_text([], "x")
    t.save_checkpoint("c.pth")
    t.cleanup()
    assert not hasattr(t, "wandb_run")
    assert (t.attn_dir / "self_attention_epoch1.png").exists()


def test_tracking_without_the_client_is_a_clear_import_error(tok, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "wandb", None)
    with pytest.raises(ImportError) as e:
        make(tok, cfg=config(use_wandb=True))
    assert "training.use_wandb" in str(e.value) and "wandb client" in str(e.value)
    assert "not installed" in str(e.value)
    assert not pathlib.Path("expts").exists()


@pytest.mark.parametrize("run_id", [None, "", "none", "None", "NONE", "absent"])
@pytest.mark.parametrize("project", ["absent", "speech"])
def test_tracking_starts_a_new_run(tok, capsys, wandb, run_id, project):
    training = {"use_wandb": True}
    if run_id != "absent":
        training["wandb_run_id"] = run_id
    if project != "absent":
        training["wandb_project"] = project
    cfg = config(**training)
    t = make(tok, cfg=cfg)
    [(name, args, kwargs)] = wandb.calls
    assert name == "init" and args == ()
    assert list(kwargs) == ["project", "config", "name"]
    assert kwargs["project"] == ("default-project" if project == "absent" else project)
    assert kwargs["config"] is cfg and kwargs["name"] == "run"
    assert t.wandb_run is wandb.init.__closure__ or t.wandb_run.id == "run-1"
    assert list(vars(t)).index("wandb_run") == list(vars(t)).index("use_wandb") + 1


def test_tracking_resumes_a_run(tok, capsys, wandb):
    cfg = config(use_wandb=1, wandb_run_id="abc123", wandb_project="p")
    t = make(tok, cfg=cfg)
    [(name, args, kwargs)] = wandb.calls
    assert list(kwargs.items()) == [("project", "p"), ("id", "abc123"), ("resume", "must"),
                                    ("config", cfg)]
    assert t.use_wandb == 1 and t.wandb_run.id == "run-1"


def test_tracking_run_id_must_be_text(tok, capsys, wandb):
    with pytest.raises(AttributeError, match="lower"):
        make(tok, cfg=config(use_wandb=True, wandb_run_id=7))


def test_tracking_calls_of_every_method(tok, capsys, wandb):
    t = with_optimizer(make(tok, cfg=config(use_wandb=True)))
    t._log_metrics({"train": {"ce_loss": 1.5, "ctc_loss": 2.0}, "val": {"wer": 0.5, "cer": 0.25}}, 4)
    t._save_attention_plot(torch.eye(3), 2.0, "decoder_cross")
    t._save_generated_text([{"a": 1}], "val_epoch_2")
    t.save_checkpoint("last.pth")
    t.cleanup()
    t.cleanup()
    assert wandb.calls[1:] == [
        ("log", ({"train/ce_loss": 1.5, "train/ctc_loss": 2.0, "val/wer": 0.5, "val/cer": 0.25,
                  "learning_rate": 0.00025},), {"step": 4}),
        ("Image", (os.path.join(t.attn_dir, "decoder_cross_attention_epoch2.png"),), {}),
        ("log", ({"decoder_cross_attention":
                  ("image", os.path.join(t.attn_dir, "decoder_cross_attention_epoch2.png"))},),
         {"step": 2}),
        ("save", (os.path.join(t.text_dir, "text_val_epoch_2.json"),), {}),
        ("save", (str(t.checkpoint_dir / "last.pth"),), {}),
        ("finish", (), {}),
        ("finish", (), {}),
    ]
    assert list(wandb.calls[1][1][0]) == ["train/ce_loss", "train/ctc_loss", "val/wer", "val/cer",
                                          "learning_rate"]


def test_cleanup_skips_a_false_run(tok, capsys, wandb):
    t = make(tok, cfg=config(use_wandb=True))
    t.wandb_run = None
    t.cleanup()
    assert [c[0] for c in wandb.calls] == ["init"]


def test_tracking_failure_after_the_file_is_written(tok, capsys, wandb):
    t = with_optimizer(make(tok, cfg=config(use_wandb=True)))

    def fail(path):
        raise ConnectionError("offline")

    wandb.save = fail
    with pytest.raises(ConnectionError):
        t.save_checkpoint("last.pth")
    assert (t.checkpoint_dir / "last.pth").exists()


# ---- the metric history and tree ---------------------------------------------


def test_worked_example(trainer, capsys):
    with_optimizer(trainer)
    train, val = {"ce_loss": 1.234567, "ctc_loss": 0.5}, {"wer": 23.45678, "cer": 9.87654}
    trainer._log_metrics({"train": train, "val": val}, 4)
    assert lines(capsys) == [
        "", "📊 Metrics (Epoch 4):",
        "├── TRAIN:", "│   ├── ce_loss: 1.2346", "│   └── ctc_loss: 0.5000",
        "└── VAL:", "    ├── cer: 9.8765", "    └── wer: 23.4568",
        "└── TRAINING:", "    └── learning_rate: 0.000250"]
    [entry] = trainer.training_history
    assert list(entry.items()) == [("epoch", 4), ("train", train), ("val", val), ("lr", 0.00025)]
    assert entry["train"] is train and list(entry["val"]) == ["wer", "cer"]


@pytest.mark.parametrize("metrics, step, lr, tree, entry", [
    ({}, 1, 0.1, [], [("epoch", 1), ("lr", 0.1)]),
    ({"val": {"b": 2.0, "a": 1.0}}, 2, 0.1,
     ["└── VAL:", "    ├── a: 1.0000", "    └── b: 2.0000"],
     [("epoch", 2), ("val", {"b": 2.0, "a": 1.0}), ("lr", 0.1)]),
    ({"val": {"x": 1.0}, "train": {}}, 3, 0.1,
     ["├── TRAIN:", "└── VAL:", "    └── x: 1.0000"],
     [("epoch", 3), ("val", {"x": 1.0}), ("train", {}), ("lr", 0.1)]),
    ({"train": {"Loss_A": 12}}, 3.9, 1e-05, ["└── TRAIN:", "    └── Loss_A: 12.0000"],
     [("epoch", 3), ("train", {"Loss_A": 12}), ("lr", 1e-05)]),
    ({"lr": {"x": 0.5}, "epoch": {"y": 1.0}}, True, 0.1,
     ["├── EPOCH:", "│   └── y: 1.0000", "└── LR:", "    └── x: 0.5000"],
     [("epoch", {"y": 1.0}), ("lr", 0.1)]),
], ids=["empty", "one-split", "empty-split", "converted-step", "lr-and-epoch-splits"])
def test_tree_and_history_cases(trainer, capsys, metrics, step, lr, tree, entry):
    with_optimizer(trainer, lr)
    trainer._log_metrics(metrics, step)
    shown = int(step)
    assert lines(capsys) == ["", f"📊 Metrics (Epoch {shown}):", *tree, "└── TRAINING:",
                             f"    └── learning_rate: {lr:.6f}"]
    assert list(trainer.training_history[0].items()) == entry


def test_first_group_rate_only(trainer, capsys):
    a, b = torch.nn.Parameter(torch.ones(1)), torch.nn.Parameter(torch.ones(1))
    trainer.optimizer = torch.optim.SGD([{"params": [a], "lr": 0.5}, {"params": [b], "lr": 0.7}])
    trainer._log_metrics({}, 0)
    assert trainer.training_history[0]["lr"] == 0.5
    assert lines(capsys)[-1] == "    └── learning_rate: 0.500000"


@pytest.mark.parametrize("metrics, step, text", [
    ({}, "3", "Argument 'step' has incorrect type (expected int, got str)"),
    (collections.OrderedDict(), 3, "Argument 'metrics' has incorrect type (expected dict, got "
     "collections.OrderedDict)"),
    (None, None, "Argument 'step' has incorrect type (expected int, got NoneType)"),
])
def test_metric_argument_types(trainer, capsys, metrics, step, text):
    with_optimizer(trainer)
    with pytest.raises(TypeError) as e:
        trainer._log_metrics(metrics, step)
    assert str(e.value) == text
    assert trainer.training_history == [] and capsys.readouterr().out == ""


def test_no_optimizer_appends_nothing(trainer, capsys):
    with pytest.raises(AttributeError):
        trainer._log_metrics({"train": {"x": 1.0}}, 1)
    assert trainer.training_history == [] and capsys.readouterr().out == ""


def test_failure_after_the_append_keeps_the_entry(trainer, capsys):
    with_optimizer(trainer)
    with pytest.raises(ValueError, match="Unknown format code"):
        trainer._log_metrics({"train": {"x": "text"}}, 1)
    assert len(trainer.training_history) == 1
    assert lines(capsys) == ["", "📊 Metrics (Epoch 1):", "└── TRAIN:"]


def test_infinite_step_fails_in_the_conversion(trainer):
    with_optimizer(trainer)
    with pytest.raises(OverflowError):
        trainer._log_metrics({}, float("inf"))


# ---- heat-maps ------------------------------------------------------------------


@pytest.fixture
def drawn(monkeypatch):
    """What the figure looked like when it was saved."""
    seen = []
    save = plt.savefig

    def record(path, *args, **kwargs):
        fig = plt.gcf()
        ax, bar = fig.axes
        seen.append({"path": path, "size": tuple(fig.get_size_inches()),
                     "title": ax.get_title(), "x": ax.get_xlabel(), "y": ax.get_ylabel(),
                     "cmap": ax.collections[0].get_cmap().name,
                     "shape": ax.collections[0].get_array().shape,
                     "colorbar": bar.get_label() == "<colorbar>"})
        return save(path, *args, **kwargs)

    monkeypatch.setattr(plt, "savefig", record)
    return seen


@pytest.mark.parametrize("weights, epoch, kind, name, title", [
    (lambda: torch.rand(4, 6, requires_grad=True) * 2, 3, "decoder_self",
     "decoder_self_attention_epoch3.png", "Attention Weights - Epoch 3"),
    (lambda: __import__("numpy").ones((4, 6)), 7.0, "train_self",
     "train_self_attention_epoch7.png", "Attention Weights - Epoch 7"),
    (lambda: torch.rand(4, 6), 2, None, "self_attention_epoch2.png",
     "Attention Weights - Epoch 2"),
])
def test_heat_map(trainer, drawn, weights, epoch, kind, name, title):
    args = (weights(), epoch) if kind is None else (weights(), epoch, kind)
    trainer._save_attention_plot(*args)
    [fig] = drawn
    # drawn into a temporary beside the image (named so that the format is PNG), then renamed
    temporary = pathlib.Path(fig.pop("path"))
    assert temporary.parent == trainer.attn_dir and temporary.name.startswith("." + name)
    assert temporary.suffix == ".png"
    assert fig == {"size": (10.0, 8.0), "title": title, "x": "Source Sequence",
                   "y": "Target Sequence", "cmap": "viridis", "shape": fig["shape"],
                   "colorbar": True}
    assert [p.name for p in trainer.attn_dir.iterdir()] == [name]
    assert (trainer.attn_dir / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert plt.get_fignums() == []


@pytest.mark.parametrize("dtype", [torch.float32, torch.bfloat16])
def test_heat_map_of_a_tensor_with_gradients(trainer, device, dtype):
    # bfloat16: the maps of an epoch under the CPU's bfloat16 autocast (numpy has no such type)
    trainer._save_attention_plot(torch.rand(3, 3, device=device, dtype=dtype, requires_grad=True), 1)
    assert (trainer.attn_dir / "self_attention_epoch1.png").exists()


@pytest.mark.parametrize("args, text", [
    ((torch.eye(2), "3"), "Argument 'epoch' has incorrect type (expected int, got str)"),
    ((torch.eye(2), 3, None), "Argument 'attn_type' has incorrect type (expected str, got "
     "NoneType)"),
    ((torch.eye(2), 3, Text("self")), "Argument 'attn_type' has incorrect type (expected str, "
     "got Text)"),
])
def test_heat_map_argument_types(trainer, args, text):
    with pytest.raises(TypeError) as e:
        trainer._save_attention_plot(*args)
    assert str(e.value) == text
    assert plt.get_fignums() == [] and list(trainer.attn_dir.iterdir()) == []


@pytest.mark.parametrize("break_it", ["three-d", "no-directory"])
def test_failed_heat_map_closes_its_figure(trainer, break_it):
    weights = torch.rand(2, 3, 3) if break_it == "three-d" else torch.eye(3)
    if break_it == "no-directory":
        trainer.attn_dir.rmdir()
    with pytest.raises((ValueError, FileNotFoundError)):
        trainer._save_attention_plot(weights, 1)
    assert plt.get_fignums() == []


def test_heat_maps_leave_no_figures_over_many_epochs(trainer):
    for epoch in range(5):
        trainer._save_attention_plot(torch.rand(3, 3), epoch)
    assert plt.get_fignums() == [] and len(list(trainer.attn_dir.iterdir())) == 5


# ---- generated text ---------------------------------------------------------------


@pytest.mark.parametrize("value, written", [
    ([{"generated": "ab", "score": 1.5}, {"generated": "c", "score": -2}],
     '[\n    {\n        "generated": "ab",\n        "score": 1.5\n    },\n'
     '    {\n        "generated": "c",\n        "score": -2\n    }\n]'),
    ({"z": "é", "a": [float("nan"), float("inf"), -float("inf")]},
     '{\n    "z": "\\u00e9",\n    "a": [\n        NaN,\n        Infinity,\n        -Infinity\n'
     '    ]\n}'),
    ([], "[]"),
    ({}, "{}"),
    ((1, None, True), "[\n    1,\n    null,\n    true\n]"),
    ({1: "a", None: "b"}, '{\n    "1": "a",\n    "null": "b"\n}'),
])
def test_generated_text(trainer, value, written):
    trainer._save_generated_text(value, "val_epoch_1")
    assert (trainer.text_dir / "text_val_epoch_1.json").read_text() == written


def test_generated_text_replaces_the_file(trainer):
    trainer._save_generated_text(["first", "longer"], "x")
    trainer._save_generated_text(["b"], "x")
    assert json.loads((trainer.text_dir / "text_x.json").read_text()) == ["b"]


@pytest.mark.parametrize("suffix, text", [
    (Text("x"), "Argument 'suffix' has incorrect type (expected str, got Text)"),
    (1, "Argument 'suffix' has incorrect type (expected str, got int)"),
])
def test_generated_text_suffix_type(trainer, suffix, text):
    with pytest.raises(TypeError) as e:
        trainer._save_generated_text([], suffix)
    assert str(e.value) == text and list(trainer.text_dir.iterdir()) == []


def test_generated_text_failures(trainer):
    trainer._save_generated_text(["before"], "bad")
    with pytest.raises(TypeError, match="not JSON serializable"):
        trainer._save_generated_text([1, object()], "bad")
    # the file is written whole or not at all: the previous one stays, no temporary
    assert [p.name for p in trainer.text_dir.iterdir()] == ["text_bad.json"]
    assert json.loads((trainer.text_dir / "text_bad.json").read_text()) == ["before"]
    (trainer.text_dir / "text_bad.json").unlink()
    trainer.text_dir.rmdir()
    with pytest.raises(FileNotFoundError):
        trainer._save_generated_text([], "gone")


# ---- checkpoints: saving -------------------------------------------------------------


def read(path):
    """A checkpoint written by the test itself: trusted, loaded in full."""
    return torch.load(path, weights_only=False)


def test_record_layout(trainer, capsys):
    with_optimizer(trainer)
    trainer.current_epoch, trainer.best_metric = 3, 0.25
    trainer._log_metrics({"val": {"wer": 0.5}}, 3)
    trainer.save_checkpoint("last.pth")
    record = read(trainer.checkpoint_dir / "last.pth")
    assert list(record) == ["epoch", "model_state_dict", "optimizer_state_dict",
                            "scheduler_state_dict", "scaler_state_dict", "best_metric",
                            "training_history", "config"]
    assert record["epoch"] == 3 and record["best_metric"] == 0.25
    assert record["scheduler_state_dict"] is None
    assert record["training_history"] == trainer.training_history
    assert record["config"] == trainer.config
    assert list(record["model_state_dict"]) == list(trainer.model.state_dict())


def test_saving_twice_keeps_the_second_and_no_temporary(trainer):
    with_optimizer(trainer)
    trainer.save_checkpoint("last.pth")
    trainer.current_epoch = 2
    trainer.save_checkpoint("last.pth")
    assert read(trainer.checkpoint_dir / "last.pth")["epoch"] == 2
    assert [p.name for p in trainer.checkpoint_dir.iterdir()] == ["last.pth"]


def test_saved_file_keeps_the_usual_permissions(trainer):
    with_optimizer(trainer)
    mask = os.umask(0o022)
    try:
        trainer.save_checkpoint("last.pth")
    finally:
        os.umask(mask)
    assert (trainer.checkpoint_dir / "last.pth").stat().st_mode & 0o777 == 0o644


@pytest.mark.parametrize("prepare, error", [
    (lambda t: None, AttributeError),                     # no optimizer
    (lambda t: with_optimizer(t).checkpoint_dir.rename(t.expt_root / "moved"), FileNotFoundError),
])
def test_save_failures_write_nothing(trainer, prepare, error):
    prepare(trainer)
    with pytest.raises(error):
        trainer.save_checkpoint("last.pth")
    assert not trainer.checkpoint_dir.exists() or list(trainer.checkpoint_dir.iterdir()) == []


def test_failed_write_keeps_the_previous_checkpoint(trainer, capsys, monkeypatch):
    with_optimizer(trainer)
    trainer.save_checkpoint("last.pth")
    good = (trainer.checkpoint_dir / "last.pth").read_bytes()
    real_save = torch.save

    def disk_full(obj, f):
        real_save(obj, io.BytesIO())
        f.write(b"PK\x03\x04 half a checkpoint")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(torch, "save", disk_full)
    trainer.current_epoch = 5
    with pytest.raises(OSError, match="No space left"):
        trainer.save_checkpoint("last.pth")
    assert (trainer.checkpoint_dir / "last.pth").read_bytes() == good
    assert [p.name for p in trainer.checkpoint_dir.iterdir()] == ["last.pth"]
    monkeypatch.undo()
    trainer.load_checkpoint("last.pth")
    assert trainer.current_epoch == 0


KILLED_WRITER = """
import sys, time, torch
sys.path[:0] = [{root!r}, {root!r} + "/tests"]
from reference.checkpoint import Trainer
from corvantis.data.tokenizer import ZelTokenizer
from corvantis.model import DecoderOnlyTransformer
tok = ZelTokenizer()
model = DecoderOnlyTransformer(tok.num_classes, 16, d_model=8, num_layers=1, num_heads=2, d_ff=16)
t = Trainer(model, tok, {{"training": {{}}, "data": {{}}}}, "run", "run.yaml", device="cpu")
t.model.big = torch.nn.Parameter(torch.randn(16, 1024, 1024))   # 64 MB
t.optimizer = torch.optim.SGD(t.model.parameters(), lr=0.1)
t.current_epoch = 9

class Slow:
    # the real file, written chunk by chunk; the kill comes once 8 MB are out
    def __init__(self, f):
        self.f, self.n = f, 0
    def write(self, b):
        self.n += self.f.write(b)
        if self.n > 8 << 20:
            self.f.flush()
            print("writing", flush=True)
            time.sleep(600)
        return len(b)
    def __getattr__(self, name):
        return getattr(self.f, name)

real = torch.save
torch.save = lambda obj, f: real(obj, Slow(f))
t.save_checkpoint("checkpoint-last-epoch-model.pth")
"""


def test_kill_during_save_leaves_the_previous_checkpoint(trainer, capsys, workdir):
    with_optimizer(trainer)
    trainer.current_epoch = 4
    trainer.save_checkpoint("checkpoint-last-epoch-model.pth")
    target = trainer.checkpoint_dir / "checkpoint-last-epoch-model.pth"
    good = target.read_bytes()
    errors = (workdir / "stderr").open("w+")
    writer = subprocess.Popen([sys.executable, "-c", KILLED_WRITER.format(root=str(ROOT))],
                              cwd=workdir, stdout=subprocess.PIPE, stderr=errors, text=True)
    try:
        # the set-up prints the device and the summary first
        assert any(line.strip() == "writing" for line in writer.stdout), \
            (workdir / "stderr").read_text()
        partial = [p for p in trainer.checkpoint_dir.iterdir() if p != target]
        assert len(partial) == 1 and partial[0].stat().st_size > 8 << 20
    finally:
        writer.send_signal(signal.SIGKILL)
        writer.wait()
    assert writer.returncode == -signal.SIGKILL
    assert target.read_bytes() == good
    capsys.readouterr()
    trainer.load_checkpoint("checkpoint-last-epoch-model.pth")
    assert trainer.current_epoch == 4
    assert lines(capsys)[0] == "Checkpoint loaded from epoch 4"


# ---- checkpoints: restoring ------------------------------------------------------------


def optimizer_settings(name):
    return {"name": name, "lr": 0.01, "weight_decay": 0.01,
            "sgd": {"momentum": 0.9, "nesterov": True, "dampening": 0},
            "adam": {"betas": (0.9, 0.98), "eps": 1e-9, "amsgrad": True},
            "adamw": {"betas": (0.8, 0.9), "eps": 1e-7, "amsgrad": False}}


SCHEDULERS = {
    "plateau": {"name": "reduce_lr", "reduce_lr": {"patience": 1, "factor": 0.5}},
    "cosine": {"name": "cosine", "cosine": {"T_max": 3}},
    "cosine-warmup": {"name": "cosine", "cosine": {"T_max": 3},
                      "warmup": {"enabled": True, "epochs": 1, "start_factor": 0.2}},
    "cosine_warm": {"name": "cosine_warm", "cosine_warm": {"T_0": 1, "T_mult": 2}},
    "cosine_warm-warmup": {"name": "cosine_warm", "cosine_warm": {"T_0": 1},
                           "warmup": {"enabled": True, "epochs": 1}},
}


def equip(t, optimizer, scheduler):
    t.optimizer = yarrowind(t.model, optimizer_settings(optimizer))
    t.scheduler = create_scheduler(t.optimizer, SCHEDULERS[scheduler], list(range(4)))


@pytest.mark.parametrize("scheduler", SCHEDULERS)
@pytest.mark.parametrize("optimizer", ["sgd", "adam", "adamw"])
def test_round_trip(tok, capsys, optimizer, scheduler):
    t = make(tok)
    equip(t, optimizer, scheduler)
    plateau = scheduler == "plateau"
    for step in range(5):  # optimizer state, moved rates, scheduler counters
        t.model(torch.randint(0, tok.num_classes, (2, 5)), target_lengths=torch.tensor([5, 3]))[
            0].sum().backward()
        t.optimizer.step()
        t.scheduler.step(1.0) if plateau else t.scheduler.step()
    t.current_epoch, t.best_metric = 3, 0.125
    t._log_metrics({"train": {"loss": 2.5}, "val": {"loss": float("nan")}}, 3)
    t.save_checkpoint("last.pth")

    fresh = make(tok, run="fresh")
    torch.nn.init.zeros_(fresh.model.final_linear.weight)
    equip(fresh, optimizer, scheduler)
    capsys.readouterr()
    fresh.load_checkpoint(str(t.checkpoint_dir / "last.pth"))  # an absolute name joins as such
    assert lines(capsys) == ["Checkpoint loaded from epoch 3", "Successfully loaded: model, "
                             "optimizer, scheduler, scaler, training_state"]
    assert same(fresh.model.state_dict(), t.model.state_dict())
    assert same(fresh.optimizer.state_dict(), t.optimizer.state_dict())
    assert same(fresh.scheduler.state_dict(), t.scheduler.state_dict())
    assert [g["lr"] for g in fresh.optimizer.param_groups] == \
        [g["lr"] for g in t.optimizer.param_groups]
    assert (fresh.current_epoch, fresh.best_metric) == (3, 0.125)
    assert same(fresh.training_history, t.training_history)


def test_record_without_a_scheduler(trainer, capsys, tok):
    with_optimizer(trainer)
    trainer.save_checkpoint("last.pth")
    other = make(tok, run="other")
    equip(other, "adam", "cosine")
    other.checkpoint_dir = trainer.checkpoint_dir
    capsys.readouterr()
    other.load_checkpoint("last.pth")
    assert lines(capsys) == ["Checkpoint loaded from epoch 0",
                             "Successfully loaded: model, optimizer, scaler, training_state"]


def test_restore_before_the_optimizer_is_assigned(trainer, capsys, tok):
    with_optimizer(trainer)
    trainer.current_epoch = 6
    trainer.save_checkpoint("last.pth")
    trainer.optimizer = None
    trainer.current_epoch = 0
    trainer.load_checkpoint("last.pth")
    assert lines(capsys) == [
        "Warning: Failed to load optimizer state: 'NoneType' object has no attribute "
        "'load_state_dict'",
        "Checkpoint loaded from epoch 6",
        "Successfully loaded: model, scaler, training_state",
        "Failed to load: optimizer"]
    assert trainer.current_epoch == 6


def write_record(t, record, name="c.pth"):
    torch.save(record, t.checkpoint_dir / name)
    return name


def test_empty_record(trainer, capsys):
    with_optimizer(trainer)
    with pytest.raises(RuntimeError) as e:
        trainer.load_checkpoint(write_record(trainer, {}))
    assert str(e.value) == "Failed to load any checkpoint components"
    assert lines(capsys) == [
        "Warning: Failed to load model state: 'model_state_dict'",
        "Warning: Failed to load optimizer state: 'optimizer_state_dict'",
        "Warning: Failed to load scaler state: 'scaler_state_dict'",
        "Warning: Failed to load training state: 'epoch'"]


def test_record_without_epoch(trainer, capsys):
    name = write_record(trainer, {"model_state_dict": trainer.model.state_dict(),
                                  "best_metric": 0.5, "training_history": []})
    trainer.load_checkpoint(name)
    out = lines(capsys)
    assert "Warning: Failed to load training state: 'epoch'" in out
    assert out[-3:] == ["Checkpoint loaded from epoch unknown", "Successfully loaded: model",
                        "Failed to load: optimizer, scaler, training_state"]
    assert trainer.best_metric == float("inf")


def test_training_state_is_restored_up_to_the_missing_key(trainer, capsys):
    trainer.load_checkpoint(write_record(trainer, {"epoch": 8,
                                                   "model_state_dict": trainer.model.state_dict()}))
    assert trainer.current_epoch == 8 and trainer.best_metric == float("inf")
    assert lines(capsys)[-2:] == ["Successfully loaded: model",
                                  "Failed to load: optimizer, scaler, training_state"]


def test_record_that_is_not_a_mapping(trainer, capsys):
    with pytest.raises(AttributeError, match="get"):
        trainer.load_checkpoint(write_record(trainer, [1, 2]))
    assert len(lines(capsys)) == 2  # model and optimizer warnings, then the failure


def test_missing_file(trainer, capsys):
    with pytest.raises(FileNotFoundError) as e:
        trainer.load_checkpoint("nothing.pth")
    assert str(e.value) == f"No checkpoint found at {trainer.checkpoint_dir / 'nothing.pth'}"
    assert str(e.value).endswith(str(pathlib.Path.cwd() / "expts/run/checkpoints/nothing.pth"))


@pytest.mark.parametrize("filename", [Text("c.pth"), None, pathlib.Path("c.pth")])
def test_checkpoint_file_names_must_be_text(trainer, filename):
    with_optimizer(trainer)
    for method in (trainer.save_checkpoint, trainer.load_checkpoint):
        with pytest.raises(TypeError, match="Argument 'filename' has incorrect type"):
            method(filename)
    assert list(trainer.checkpoint_dir.iterdir()) == []


# ---- checkpoints: what the reader refuses -------------------------------------------------


def rewrite(path, data_pkl):
    """The zip checkpoint at `path` with its pickle replaced."""
    with zipfile.ZipFile(path) as src:
        entries = [(i, src.read(i)) for i in src.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as out:
        for info, data in entries:
            out.writestr(info, data_pkl if info.filename.endswith("/data.pkl") else data)


def good_pickle(t):
    t.save_checkpoint("good.pth")
    with zipfile.ZipFile(t.checkpoint_dir / "good.pth") as z:
        return next(z.read(n) for n in z.namelist() if n.endswith("/data.pkl"))


class Payload:
    """Writes the marker file when it is unpickled."""

    def __init__(self, how, marker):
        self.how, self.marker = how, marker

    def __reduce__(self):
        if self.how == "exec":
            return (exec, (f"open({self.marker!r}, 'w').close()",))
        if self.how == "system":
            return (os.system, (f"touch {self.marker}",))
        return (pathlib.Path.touch, (pathlib.Path(self.marker),))


@pytest.mark.parametrize("how", ["exec", "system", "touch"])
@pytest.mark.parametrize("where", ["top", "history", "model"])
def test_code_in_a_checkpoint_never_runs(trainer, capsys, workdir, how, where):
    with_optimizer(trainer)
    marker = workdir / "marker"
    payload = Payload(how, str(marker))
    record = {"epoch": 1}
    if where == "top":
        record["x"] = payload
    elif where == "history":
        record["training_history"] = [{"epoch": 1, "lr": 0.1, "train": {"x": payload}}]
    else:
        record["model_state_dict"] = collections.OrderedDict(w=torch.ones(2), b=payload)
    name = write_record(trainer, record)
    before = trainer.model.state_dict()
    with pytest.raises(RuntimeError) as e:
        trainer.load_checkpoint(name)
    assert str(e.value).startswith("Failed to load checkpoint file: ")
    assert e.value.__context__ is not None
    assert not marker.exists()
    assert capsys.readouterr().out == "" and trainer.current_epoch == 0
    assert same(trainer.model.state_dict(), before)


@pytest.mark.parametrize("data_pkl", [
    b"\x80\x02}q\x00X\x01\x00\x00\x00a",                 # truncated
    b"\x80\x02a.",                                        # stack underflow
    b"\x80\x02e.",                                        # no mark to pop
    b"\x80\x02h\x05.",                                    # memo index never stored
    b"\x80\x02]K\x01s.",                                  # items set on a list
    b"\x80\x02}K\x01a.",                                  # appended to a dict
    b"\x80\x02X\xff\xff\xff\xffab.",                      # string longer than the data
    b"\x80\x04\x95\x05\x00\x00\x00\x00\x00\x00\x00N.",  # protocol 4 framing
    b"\x80\x02cbuiltins\nexec\nq\x00.",                  # a global outside the table
    b"\x80\x02ctorch\nTensor\n)\x81.",                   # NEWOBJ of anything but Parameter
    b"\x80\x02ccollections\nOrderedDict\n)R}b\x8f}b.",   # BUILD on a set
    b"\x80\x02(X\x03\x00\x00\x00abcK\x01tQ.",            # persistent id of no storage
    b"\x80\x02(X\x07\x00\x00\x00storageK\x01tQ.",        # malformed storage id
    b"",
    b"\x80\x02ctorch\nTensor\n",                          # ends after a global
], ids=lambda b: b[:24].hex())
def test_malformed_pickles_are_refused(trainer, capsys, data_pkl):
    with_optimizer(trainer)
    good_pickle(trainer)
    path = trainer.checkpoint_dir / "good.pth"
    rewrite(path, data_pkl)
    if _compatcheck.weights_only_reads_floats() and weights_only_reads(path):
        # PyTorch 2.x, whose torch.load reads the file there, builds a bare tensor or a set
        # from two of these; the record then fails as a record that is not a mapping does
        with pytest.raises(AttributeError, match="get"):
            trainer.load_checkpoint("good.pth")
        return
    with pytest.raises(RuntimeError, match="^Failed to load checkpoint file: "):
        trainer.load_checkpoint("good.pth")


def weights_only_reads(path):
    try:
        torch.load(path, weights_only=True)
        return True
    except Exception:
        return False


def test_mutated_pickles_fail_cleanly(trainer, capsys):
    import random

    with_optimizer(trainer)
    data = good_pickle(trainer)
    rng = random.Random(7)
    outcomes = collections.Counter()
    for _ in range(150):
        mutated = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            mutated[rng.randrange(len(mutated))] = rng.randrange(256)
        rewrite(trainer.checkpoint_dir / "good.pth", bytes(mutated))
        try:
            trainer.load_checkpoint("good.pth")
            outcomes["loaded"] += 1
        except RuntimeError as e:
            outcomes["refused" if str(e).startswith("Failed to load") else "other"] += 1
        except Exception:
            outcomes["other"] += 1
    capsys.readouterr()
    assert outcomes["refused"] > 0


@pytest.mark.parametrize("content", [b"not a checkpoint", b"", b"PK\x03\x04 broken zip"])
def test_unreadable_files(trainer, capsys, content):
    (trainer.checkpoint_dir / "c.pth").write_bytes(content)
    with pytest.raises(RuntimeError, match="^Failed to load checkpoint file: "):
        trainer.load_checkpoint("c.pth")
    assert capsys.readouterr().out == ""


def test_old_serialisation_format_is_refused(trainer, capsys):
    # on every version: the bounds are measured on the zip format only
    torch.save({"epoch": 1}, trainer.checkpoint_dir / "old.pth",
               _use_new_zipfile_serialization=False)
    with pytest.raises(RuntimeError, match="zip format"):
        trainer.load_checkpoint("old.pth")


# the same objects, read by PyTorch's weights-only mode and by ours
ADMITTED = {
    "containers": lambda: {"a": [1, (2, 3), {"b": None}], "t": True, "f": False,
                           "big": 2 ** 80, "neg": -5, "s": "é", "u": (), "l": []},
    "tensors": lambda: collections.OrderedDict(
        w=torch.arange(6.0).view(2, 3).t(), i=torch.arange(4), h=torch.ones(2).half(),
        view=torch.arange(10)[2:5], size=torch.Size([2, 3]), dtype=torch.float64),
    "parameter": lambda: {"p": torch.nn.Parameter(torch.ones(3))},
    "shared": lambda: (lambda x: {"a": x, "b": x, "v": x[1:]})(torch.ones(4)),
    "module state": lambda: torch.nn.LayerNorm(3).state_dict(),
}
REFUSED = {
    "set of items": lambda: {1, 2},
    "empty set": lambda: set(),         # protocol 2 pickles it as a call of set
    "bytes": lambda: b"raw",
    "complex": lambda: 1j,
    "function": lambda: os.getcwd,
    "class": lambda: Payload,
    "module": lambda: torch.nn.Linear(2, 2),
}


def load_both(obj, path):
    torch.save(obj, path)
    results = []
    for load in (lambda: torch.load(path, weights_only=True),
                 lambda: _compatcheck.load_checkpoint(path, "cpu")):
        try:
            results.append(("ok", load()))
        except Exception as e:
            results.append(("refused", e))
    return results


@pytest.mark.parametrize("name", ADMITTED)
def test_reader_admits_what_weights_only_admits(workdir, name):
    obj = ADMITTED[name]()
    (ours_kind, ours), (theirs_kind, theirs) = reversed(load_both(obj, workdir / "x.pth"))
    assert (ours_kind, theirs_kind) == ("ok", "ok")
    assert same(ours, theirs) and same(ours, obj)
    if name == "shared":
        assert ours["a"] is ours["b"] and ours["v"].storage().data_ptr() == ours["a"].storage(
        ).data_ptr()
    if name == "parameter":
        assert type(ours["p"]) is torch.nn.Parameter and ours["p"].requires_grad


@pytest.mark.parametrize("name", REFUSED)
def test_reader_refuses_what_weights_only_refuses(workdir, name):
    obj = REFUSED[name]()
    (theirs_kind, theirs), (ours_kind, ours) = load_both(obj, workdir / "x.pth")
    if theirs_kind == "ok":  # PyTorch 2.x reads sets, bytes and complex numbers; so do we there
        assert ours_kind == "ok" and ours == theirs == obj
        return
    assert (theirs_kind, ours_kind) == ("refused", "refused")
    assert type(ours).__name__ == "UnpicklingError"


def test_reader_reads_floats(workdir):
    obj = {"best": 0.25, "inf": float("inf"), "nan": float("nan"), "lrs": [1e-5, -0.0]}
    torch.save(obj, workdir / "x.pth")
    back = _compatcheck.load_checkpoint(workdir / "x.pth", "cpu")
    assert same(back, obj) and str(back["lrs"][1]) == "-0.0"


def test_reader_places_tensors_by_map_location(workdir):
    torch.save({"w": torch.ones(2)}, workdir / "x.pth")
    moved = []

    def where(storage, location):
        moved.append(location)
        return storage

    assert _compatcheck.load_checkpoint(workdir / "x.pth", where)["w"].sum() == 2
    assert moved == ["cpu"]
    if not torch.cuda.is_available():
        with pytest.raises(RuntimeError, match="CUDA"):
            _compatcheck.load_checkpoint(workdir / "x.pth", "cuda")


@pytest.mark.parametrize("moved", ["to the cpu", "from the cpu"])
def test_model_saved_on_one_device_restores_on_another(tok, capsys, device, moved):
    saved_on, restored_on = (device, "cpu") if moved == "to the cpu" else ("cpu", device)
    source = with_optimizer(make(tok, run="source", device=saved_on))
    source.save_checkpoint("last.pth")
    target = with_optimizer(make(tok, run="target", device=restored_on))
    target.load_checkpoint(str(source.checkpoint_dir / "last.pth"))
    state = target.model.state_dict()
    assert all(v.device.type == restored_on for v in state.values())
    assert same({k: v.cpu() for k, v in state.items()},
                {k: v.cpu() for k, v in source.model.state_dict().items()})


# A CPU checkpoint that PyTorch 1.13 (Debian 12) wrote through write_cpu_checkpoint:
# its scaler state is a disabled scaler's, an empty dict.
OLD_CPU_CHECKPOINT = ROOT / "tests" / "data" / "lm_cpu_torch1.13.pth"


def write_cpu_checkpoint(tok, name="last.pth"):
    t = make(tok, run="writer")
    equip(t, "adam", "cosine")
    for _ in range(2):
        t.model(torch.randint(0, tok.num_classes, (2, 5)), target_lengths=torch.tensor([5, 3]))[
            0].sum().backward()
        t.optimizer.step()
        t.scheduler.step()
    t.current_epoch, t.best_metric = 3, 0.125
    t._log_metrics({"train": {"loss": 2.5}}, 3)
    t.save_checkpoint(name)
    return t


@pytest.mark.parametrize("written_by", ["this PyTorch", "PyTorch 1.13"])
def test_cpu_checkpoint_resumes_on_every_version(tok, capsys, written_by):
    writer = write_cpu_checkpoint(tok)
    path = writer.checkpoint_dir / "last.pth" if written_by == "this PyTorch" else OLD_CPU_CHECKPOINT
    target = make(tok, run="target")
    equip(target, "adam", "cosine")
    capsys.readouterr()
    target.load_checkpoint(str(path))
    assert lines(capsys) == ["Checkpoint loaded from epoch 3", "Successfully loaded: model, "
                             "optimizer, scheduler, scaler, training_state"]
    assert not target.scaler.is_enabled() and target.scaler.state_dict() == {}
    assert (target.current_epoch, target.best_metric) == (3, 0.125)
    saved = torch.load(path, weights_only=False)  # what the file holds, by PyTorch's own reader
    assert target.scheduler.last_epoch == 2 and target.training_history == saved["training_history"]
    assert same(target.model.state_dict(), saved["model_state_dict"])
    assert same(target.optimizer.state_dict()["state"], saved["optimizer_state_dict"]["state"])


# ---- checkpoints: bounds measured before anything is built -------------------------------
# Each file is read first in a separate interpreter, since before these bounds several of them
# crashed the process (an over-long storage claim, a key nested too deep to hash).

class Storage:
    """A storage claim, written as torch.save writes a persistent id."""

    def __init__(self, numel, key="0"):
        self.numel, self.key = numel, key


class Tensor:
    """A tensor over a storage claim, reduced as torch.save reduces one."""

    def __init__(self, storage, offset=0, size=(4,), stride=(1,)):
        self.args = (storage, offset, size, stride, False, collections.OrderedDict())

    def __reduce__(self):
        return (torch._utils._rebuild_tensor_v2, self.args)


class Forger(__import__("pickle").Pickler):
    def persistent_id(self, obj):
        if isinstance(obj, Storage):
            return ("storage", torch.FloatStorage, obj.key, "cpu", obj.numel)
        return None


def forged(obj):
    buffer = io.BytesIO()
    Forger(buffer, protocol=2).dump(obj)
    return buffer.getvalue()


def record_of(value_pkl):
    """{"x": value} as a pickle, `value_pkl` being the opcodes of the value."""
    return b"\x80\x02}X\x01\x00\x00\x00x" + value_pkl + b"s."


def doubling(levels):
    """L = [L, L] `levels` times over through the memo."""
    out = b"]q\x00"
    for i in range(levels):
        out += b"]h" + bytes([i]) + b"ah" + bytes([i]) + b"aq" + bytes([i + 1])
    return out


REGRESSIONS = ROOT / "tests" / "fuzz" / "regressions"
# name: (data.pkl, records replaced in the archive, what the refusal says)
BOUNDED = {
    "storage larger than its record": (forged({"w": Tensor(Storage(10 ** 7), size=(10 ** 7,))}),
                                       {}, "claims 10000000 elements of 4 bytes, but its "
                                       "record holds 16 bytes"),
    "truncated record": (forged({"w": Tensor(Storage(4))}), {"data/0": b"\0" * 8},
                         "claims 4 elements of 4 bytes, but its record holds 8 bytes"),
    "view past the storage": (forged({"w": Tensor(Storage(4), offset=2)}), {},
                              "reaches past its storage"),
    "stride past the storage": (forged({"w": Tensor(Storage(4), size=(2,), stride=(2 ** 40,))}),
                                {}, "reaches past its storage"),
    "negative stride": (forged({"w": Tensor(Storage(4), stride=(-1,))}), {}, "negative"),
    "offset past the storage": (forged({"w": Tensor(Storage(4), offset=9, size=(0,))}), {},
                                "starts outside"),
    "storage without a record": (forged({"w": Tensor(Storage(4, key="7"))}), {}, "no record"),
    "one storage, two sizes": (forged({"a": Tensor(Storage(1), size=(1,)),
                                       "b": Tensor(Storage(4))}), {}, "two different sizes"),
    "deep list": (record_of(b"]" * 300000 + b"a" * 299999), {}, "nested more than 100 deep"),
    "deep dictionary key": (b"\x80\x02}K\x01" + b"\x85" * 300000 + b"K\x02s.", {},
                            "nested more than 100 deep"),
    "empty sets in bulk": (record_of(b"](" + b"\x8f" * 1000000 + b"e"), {}, "bytes of memory"),
    "shared references doubling": (record_of(doubling(40)), {}, "expand to more than"),
    "list that contains itself": (record_of(b"]q\x00h\x00a"), {}, "contains itself"),
    **{f"fuzzing regression {p.name}": (p.read_bytes(), {}, "")
       for p in sorted(REGRESSIONS.glob("*.pkl"))},
}

READ_EACH = """
import json, sys
import _compatcheck
for path in sys.argv[1:]:
    try:
        _compatcheck.load_checkpoint(path, "cpu")
        print(json.dumps(["read", ""]))
    except Exception as e:
        print(json.dumps([type(e).__name__, str(e)[:400]]))
"""


def forge_file(path, data_pkl, records):
    """A real zip checkpoint ({"w": 4 floats}, so data/0 holds 16 bytes) with its pickle and
    the given records replaced."""
    torch.save({"w": torch.ones(4)}, path)
    with zipfile.ZipFile(path) as src:
        entries = [(i, src.read(i)) for i in src.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as out:
        for info, data in entries:
            inner = info.filename.split("/", 1)[1]
            out.writestr(info, data_pkl if inner == "data.pkl" else records.get(inner, data))


@pytest.fixture(scope="module")
def bounded_outcomes(tmp_path_factory):
    """What load_checkpoint does with each BOUNDED file, read in one separate interpreter."""
    folder = tmp_path_factory.mktemp("bounded")
    paths = []
    for i, (name, (data_pkl, records, _)) in enumerate(BOUNDED.items()):
        paths.append(folder / f"{i}.pth")
        forge_file(paths[-1], data_pkl, records)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), str(ROOT / "tests")]))
    done = subprocess.run([sys.executable, "-c", READ_EACH, *map(str, paths)], env=env,
                          capture_output=True, text=True, timeout=300)
    outcomes = [json.loads(line) for line in done.stdout.splitlines()]
    crash = signal.Signals(-done.returncode).name if done.returncode < 0 else done.returncode
    return {name: outcomes[i] if i < len(outcomes) else ["crashed", crash]
            for i, name in enumerate(BOUNDED)}, dict(zip(BOUNDED, paths))


@pytest.mark.parametrize("name", BOUNDED)
def test_hostile_layouts_are_refused_before_anything_is_built(trainer, capsys, bounded_outcomes,
                                                              name):
    outcomes, paths = bounded_outcomes
    reason = BOUNDED[name][2]
    kind, message = outcomes[name]
    assert kind == "UnpicklingError" and reason in message, outcomes[name]
    with_optimizer(trainer)
    before = trainer.model.state_dict()
    with pytest.raises(RuntimeError, match="^Failed to load checkpoint file: ") as e:
        trainer.load_checkpoint(str(paths[name]))
    assert reason in str(e.value)
    assert capsys.readouterr().out == "" and same(trainer.model.state_dict(), before)


def test_bounds_admit_a_long_history(trainer, capsys):
    with_optimizer(trainer)
    trainer.training_history = [{"epoch": i, "train": {"loss": 1.0 / (i + 1), "acc": 0.5},
                                 "val": {"loss": 2.0}, "lr": 1e-3} for i in range(5000)]
    trainer.config["tags"] = [("a", "b")] * 1000          # one tuple shared a thousand times
    trainer.save_checkpoint("long.pth")
    trainer.training_history = []
    trainer.load_checkpoint("long.pth")
    assert len(trainer.training_history) == 5000
    assert lines(capsys)[-1] == "Successfully loaded: model, optimizer, scaler, training_state"


class Invalid:
    """An invalid sparse tensor: rebuilt without checks, validated only after the load."""

    def __reduce__(self):
        bad = torch.sparse_coo_tensor(torch.tensor([[0, 1]]), torch.ones(2), (2,))
        return (torch._utils._rebuild_sparse_tensor,
                (torch.sparse_coo, (torch.tensor([[0, 7]]), bad._values(), (2,))))


def test_a_refused_file_leaves_no_state_behind(trainer, capsys, workdir):
    with_optimizer(trainer)
    trainer.current_epoch = 2
    trainer.save_checkpoint("good.pth")
    # the sparse tensor is rebuilt, then a refused global ends the load before validation
    write_record(trainer, {"s": Invalid(), "x": Payload("exec", str(workdir / "marker"))},
                 "bad.pth")
    pending = torch._utils._sparse_tensors_to_validate
    with pytest.raises(RuntimeError, match="^Failed to load checkpoint file: "):
        trainer.load_checkpoint("bad.pth")
    assert pending == [] and torch._utils._sparse_tensors_to_validate is pending
    trainer.current_epoch = 0
    trainer.load_checkpoint("good.pth")
    assert trainer.current_epoch == 2


FULL_DISK = """
import json, os, resource, signal, sys
import torch
from corvantis.data.tokenizer import ZelTokenizer
from corvantis.model import DecoderOnlyTransformer
from reference.checkpoint import Trainer

tok = ZelTokenizer()
model = DecoderOnlyTransformer(tok.num_classes, 16, d_model=8, num_layers=1, num_heads=2, d_ff=16)
t = Trainer(model, tok, {"training": {}, "data": {}}, "run", "run.yaml", device="cpu")
t.optimizer = torch.optim.SGD(t.model.parameters(), lr=0.1)
t.save_checkpoint("last.pth")
t._save_generated_text(["short"], "val")
t._save_attention_plot(torch.zeros(2, 2), 1)
before = {p.name: p.read_bytes() for d in (t.checkpoint_dir, t.text_dir, t.attn_dir)
          for p in d.iterdir()}

# every file stops growing at 256 KB: the next write fails with EFBIG
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (256 << 10, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
t.model.big = torch.nn.Parameter(torch.randn(1 << 20))   # 4 MB
torch.manual_seed(0)
results = {}
for name, write in [("checkpoint", lambda: t.save_checkpoint("last.pth")),
                    ("text", lambda: t._save_generated_text(["x" * 100] * 5000, "val")),
                    ("image", lambda: t._save_attention_plot(torch.rand(600, 600), 1))]:
    try:
        write()
        results[name] = "written"
    except OSError as e:
        results[name] = e.errno
after = {p.name: p.read_bytes() for d in (t.checkpoint_dir, t.text_dir, t.attn_dir)
         for p in d.iterdir()}
print(json.dumps([results, sorted(before), before == after]))
"""


def test_a_full_disk_raises_and_keeps_every_previous_file(isolated, workdir):
    # the separate interpreter because PyTorch's writer aborted the process on a failed write
    (workdir / "run.yaml").write_text("training: {}\n")
    script = f"import os, sys\nos.chdir({str(workdir)!r})\nsys.path.insert(0, {str(ROOT)!r})\n"
    results, names, unchanged = json.loads(isolated(script + FULL_DISK).splitlines()[-1])
    assert results == {"checkpoint": 27, "text": 27, "image": 27}  # EFBIG
    assert names == ["last.pth", "self_attention_epoch1.png", "text_val.json"] and unchanged


@pytest.mark.parametrize("run_name, inside", [
    ("../elsewhere", False),
    ("a/../../elsewhere", False),
    ("/tmp/elsewhere", False),
    ("a/../b", True),
    ("nested/deeper", True),
])
def test_run_name_stays_inside_the_experiment_root(tok, capsys, workdir, run_name, inside):
    if inside:
        t = make(tok, run=run_name)
        assert t.expt_root.resolve().is_relative_to((workdir / "expts").resolve())
        return
    with pytest.raises(ValueError) as e:
        make(tok, run=run_name)
    assert repr(run_name) in str(e.value) and "outside the experiment root" in str(e.value)
    assert sorted(p.name for p in workdir.iterdir()) == ["run.yaml"]


def mutated(t, change):
    """The trainer's own checkpoint with one stored value changed."""
    t.save_checkpoint("c.pth")
    record = read(t.checkpoint_dir / "c.pth")
    change(record)
    torch.save(record, t.checkpoint_dir / "c.pth")
    return "c.pth"


def set_in(*keys, value):
    def change(record):
        target = record
        for k in keys[:-1]:
            target = target[k]
        target[keys[-1]] = value
    return change


@pytest.mark.parametrize("change, component, message", [
    (set_in("epoch", value=-5), "training", "epoch must be an integer >= 0, got -5"),
    (set_in("epoch", value=2.5), "training", "epoch must be an integer >= 0, got 2.5"),
    (set_in("best_metric", value=float("nan")), "training", "best_metric must be a number, got nan"),
    (set_in("training_history", value={"epoch": 1}), "training",
     "training_history must be a list, got dict"),
    (set_in("optimizer_state_dict", "param_groups", 0, "lr", value=float("nan")), "optimizer",
     "the learning rate of parameter group 0 must be a finite number >= 0, got nan"),
    (set_in("optimizer_state_dict", "param_groups", 0, "lr", value=-1.0), "optimizer",
     "the learning rate of parameter group 0 must be a finite number >= 0, got -1.0"),
    (set_in("scheduler_state_dict", "optimizer", value={"lr": 1.0}), "scheduler",
     "the scheduler state holds key 'optimizer', which is not part of the scheduler's state"),
    (set_in("scheduler_state_dict", "step", value=0), "scheduler",
     "the scheduler state holds key 'step', which is not part of the scheduler's state"),
    (set_in("scheduler_state_dict", "_schedulers", 1, "optimizer", value=None), "scheduler",
     "the scheduler state['_schedulers'][1] holds key 'optimizer', which is not part of the "
     "scheduler's state"),
])
def test_restored_values_outside_their_domain_are_refused(tok, capsys, change, component,
                                                          message):
    t = make(tok)
    equip(t, "adamw", "cosine-warmup")
    optimizer, scheduler = t.optimizer, t.scheduler
    name = mutated(t, change)
    capsys.readouterr()
    t.load_checkpoint(name)
    out = lines(capsys)
    label = {"training": "training state"}.get(component, component + " state")
    assert out[0] == f"Warning: Failed to load {label}: {message}"
    assert out[-1] == "Failed to load: " + ("training_state" if component == "training"
                                            else component)
    assert t.scheduler.optimizer is optimizer and t.optimizer is optimizer
    assert t.scheduler is scheduler and t.training_history == []
    assert all(g["lr"] == g["lr"] for g in optimizer.param_groups)  # no NaN rate


@pytest.mark.parametrize("value, path, type_name", [
    (__import__("numpy").float32(1e-3), "config['training']['lr']", "numpy.float32"),
    (__import__("numpy").arange(3)[2], "config['training']['lr']", "numpy.int64"),
    (pathlib.Path("data") / "x", "config['training']['lr']",
     f"{pathlib.PosixPath.__module__}.PosixPath"),        # pathlib._local from Python 3.13
    ([1, {"deep": __import__("numpy").float64(0.5)}], "config['training']['lr'][1]['deep']",
     "numpy.float64"),
])
def test_configuration_a_checkpoint_cannot_hold_is_refused(tok, capsys, workdir, value, path,
                                                           type_name):
    cfg = config(lr=value)
    with pytest.raises(TypeError) as e:
        make(tok, cfg)
    assert str(e.value).startswith(f"Configuration value {path} has type {type_name}, which a "
                                   "checkpoint cannot hold")
    assert capsys.readouterr().out == "" and not (workdir / "expts").exists()


def test_configuration_that_contains_itself_or_expands_is_refused(tok, capsys):
    cfg = config()
    cfg["data"]["again"] = cfg
    with pytest.raises(ValueError, match=r"config\['data'\]\['again'\] contains itself"):
        make(tok, cfg)
    shared = [1]
    for _ in range(40):  # checked once per object, counted at every reference
        shared = [shared, shared]
    with pytest.raises(ValueError, match="shares references that expand to more than 100000"):
        make(tok, config(aliased=shared))


def test_every_plain_configuration_round_trips(tok, capsys):
    cfg = config(data={"num_feats": 6, "tuple": (1, 2.5), "none": None, 3: [True, "x"]},
                 lr=1e-3, shared=[[1]] * 3)
    t = with_optimizer(make(tok, cfg))
    t.save_checkpoint("c.pth")
    assert _compatcheck.load_checkpoint(t.checkpoint_dir / "c.pth", "cpu")["config"] == cfg


# ---- clean-up ---------------------------------------------------------------------------


def test_cleanup_without_tracking_never_reads_the_run(trainer):
    class Guard(Trainer):
        def __getattribute__(self, name):
            if name == "wandb_run":
                raise AssertionError("read wandb_run")
            return super().__getattribute__(name)

    trainer.__class__ = Guard
    trainer.cleanup()
    trainer.use_wandb = True
    with pytest.raises(AssertionError):
        trainer.cleanup()
