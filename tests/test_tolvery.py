"""BaseTrainer: set-up and experiment directory, metric tree, heat-maps and
text files, checkpoints and clean-up."""

import json

import pytest
import torch

from corvantis.data.tokenizer import ZelTokenizer
from corvantis.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from corvantis.trainers import tolvery
from corvantis.trainers.tolvery import BaseTrainer


class Trainer(BaseTrainer):
    """The four steps filled in, as a concrete trainer would."""

    def _train_epoch(self, dataloader):
        return {}, {}

    def _validate_epoch(self, dataloader):
        return {}

    def train(self, train_dataloader, val_dataloader, epochs=1):
        return None

    def evaluate(self, dataloader):
        return {}


@pytest.fixture(autouse=True)
def workdir(tmp_path, monkeypatch):
    """Every test runs in its own directory, so "expts" lands there."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "run.yaml").write_text("training: {}\n")
    return tmp_path


@pytest.fixture
def tok():
    return ZelTokenizer()


def text_model(tok):
    torch.manual_seed(0)
    return DecoderOnlyTransformer(tok.num_classes, 16, d_model=8, num_layers=1, num_heads=2, d_ff=16)


def speech_model(tok):
    torch.manual_seed(0)
    return EncoderDecoderTransformer(
        input_dim=6, num_classes=tok.num_classes, d_model=8, num_encoder_layers=1,
        num_decoder_layers=1, num_encoder_heads=2, num_decoder_heads=2, d_ff_encoder=16,
        d_ff_decoder=16, dropout=0.0, max_len=120, time_reduction=4, reduction_method="conv")


def config(**training):
    return {"training": dict(training), "data": {"num_feats": 6}}


@pytest.fixture
def trainer(tok, capsys):
    t = Trainer(text_model(tok), tok, config(), "run", "run.yaml", device="cpu")
    capsys.readouterr()
    return t


def with_optimizer(t):
    t.optimizer = torch.optim.Adam(t.model.parameters(), lr=0.00025)
    return t


def test_construction_sets_every_attribute_in_order(trainer, workdir):
    assert list(vars(trainer)) == [
        "device", "model", "tokenizer", "config", "optimizer", "scheduler", "scaler",
        "use_wandb", "expt_root", "checkpoint_dir", "attn_dir", "text_dir", "best_model_path",
        "last_model_path", "current_epoch", "best_metric", "training_history"]
    root = workdir / "expts" / "run"
    assert trainer.expt_root == root
    assert sorted(p.name for p in root.iterdir()) == [
        "attn", "checkpoints", "config.yaml", "model_arch.txt", "text"]
    assert trainer.best_model_path == root / "checkpoints" / "checkpoint-best-metric-model.pth"
    assert trainer.current_epoch == 0 and trainer.best_metric == float("inf")
    assert trainer.training_history == [] and trainer.use_wandb is False


def test_metric_tree(trainer, capsys):
    with_optimizer(trainer)
    trainer._log_metrics({"train": {"ce_loss": 1.234567, "ctc_loss": 0.5},
                          "val": {"wer": 23.45678, "cer": 9.87654}}, 4)
    assert capsys.readouterr().out.splitlines() == [
        "", "📊 Metrics (Epoch 4):",
        "├── TRAIN:", "│   ├── ce_loss: 1.2346", "│   └── ctc_loss: 0.5000",
        "└── VAL:", "    ├── cer: 9.8765", "    └── wer: 23.4568",
        "└── TRAINING:", "    └── learning_rate: 0.000250"]


def test_heat_map_and_text_files(trainer):
    trainer._save_attention_plot(torch.rand(4, 5, requires_grad=True), 2)
    assert (trainer.attn_dir / "self_attention_epoch2.png").exists()
    trainer._save_generated_text([{"text": "é"}], "val_epoch_2")
    assert (trainer.text_dir / "text_val_epoch_2.json").read_text() == \
        '[\n    {\n        "text": "\\u00e9"\n    }\n]'


def test_checkpoint_writes_the_record(trainer):
    with_optimizer(trainer)
    trainer.save_checkpoint("last.pth")
    assert (trainer.checkpoint_dir / "last.pth").exists()


def test_speech_model_summary(tok, capsys):
    t = Trainer(speech_model(tok), tok, config(), "speech", "run.yaml")
    assert "EncoderDecoderTransformer" in (t.expt_root / "model_arch.txt").read_text()


def test_cleanup_without_tracking_does_nothing(trainer):
    trainer.cleanup()
    assert not hasattr(trainer, "wandb_run")
