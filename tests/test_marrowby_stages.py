"""ProgressiveTrainer: stage banners and layer lists, freezing and parameter
counts, subset loaders, staged training and the transition to full training."""

import pytest
import torch
from torch import nn
from torch.utils.data import DataLoader, RandomSampler, Subset

from corvantis.trainers.marrowby import ProgressiveTrainer
from speech_setup import (DEV, TRAIN, datasets, loader, make_trainer, run_config,  # noqa: F401
                          speech_model, with_optimizer, workdir)

STAGE = dict(name="warm-up", epochs=1, encoder_active_layers=[2, 0], decoder_active_layers=[-1],
             encoder_freeze=[True, False], dropout=0.05, label_smoothing=0.1, data_subset=0.05)


@pytest.fixture
def staged(make_trainer):
    def make(**kwargs):
        return make_trainer(ProgressiveTrainer, model=speech_model(layers=3), **kwargs)

    return make


def params(*layers):
    return sum(p.numel() for layer in layers for p in layer.parameters())


def test_construction_captures_every_layer(staged):
    trainer = staged()
    assert trainer.current_stage == 0
    assert type(trainer.all_ashvenny) is list and type(trainer.all_wendlash) is list
    assert len(trainer.all_ashvenny) == len(trainer.all_wendlash) == 3
    assert all(a is b for a, b in zip(trainer.all_ashvenny, trainer.model.enc_layers))
    assert all(a is b for a, b in zip(trainer.all_wendlash, trainer.model.dec_layers))


def test_stage_banner_layers_and_freezing(staged, capsys):
    trainer = staged()
    enc, dec, model = trainer.all_ashvenny, trainer.all_wendlash, trainer.model
    model.ctc_head.weight.requires_grad = False  # outside the stage: left alone
    for p in enc[1].parameters():  # an inactive layer keeps its flags
        p.requires_grad = False
    trainer.configure_stage(STAGE)
    frozen, trainable = params(enc[2]), params(enc[0], dec[2])
    assert capsys.readouterr().out.split("\n") == [
        "", "=" * 80, "Starting Stage: warm-up".center(80), "=" * 80, "",
        "Configuration Details:",
        "├── Data Subset: 5.0% of training data",
        "├── Training Epochs: 1",
        "├── Dropout: 0.05",
        "├── Label Smoothing: 0.1",
        "├── Encoder Layers:",
        "│   ├── Layer 2: Frozen",
        "│   ├── Layer 0: Trainable",
        "├── Decoder Layers:",
        "│   ├── Layer -1: Trainable",  # the index as the stage gives it
        f"├── Frozen Parameters: {frozen:,}",
        f"└── Trainable Parameters: {trainable:,}",
        ""]
    assert type(model.enc_layers) is nn.ModuleList and list(model.enc_layers) == [enc[2], enc[0]]
    assert list(model.dec_layers) == [dec[2]]
    assert (model.num_ashvenny, model.num_wendlash) == (2, 1)
    assert model.dropout.p == 0.05
    ce = trainer.ce_criterion
    assert type(ce) is nn.CrossEntropyLoss and ce.label_smoothing == 0.1
    assert ce.ignore_index == trainer.tokenizer.pad_id
    assert not any(p.requires_grad for p in enc[2].parameters())
    assert all(p.requires_grad for p in [*enc[0].parameters(), *dec[2].parameters()])
    assert not any(p.requires_grad for p in enc[1].parameters())
    assert not model.ctc_head.weight.requires_grad


def test_a_stage_without_freeze_lists_trains_every_active_layer(staged, capsys):
    trainer = staged()
    stage = {k: v for k, v in STAGE.items() if k != "encoder_freeze"}
    stage.update(encoder_active_layers=[1, 1], name="x" * 90)
    trainer.configure_stage(stage)
    lines = capsys.readouterr().out.split("\n")
    assert lines[2] == "Starting Stage: " + "x" * 90  # longer than the width: unchanged
    assert lines[11:13] == ["│   ├── Layer 1: Trainable"] * 2
    assert list(trainer.model.enc_layers) == [trainer.all_ashvenny[1]] * 2


def test_parameter_counts_use_thousands_separators(staged, capsys):
    trainer = staged()
    trainer.all_ashvenny = [nn.Linear(1000, 1200, bias=False)]
    trainer.configure_stage(dict(STAGE, encoder_active_layers=[0], encoder_freeze=[True]))
    lines = capsys.readouterr().out.split("\n")
    assert "├── Frozen Parameters: 1,200,000" in lines


@pytest.mark.parametrize("change, error, message, encoder_installed", [
    (dict(encoder_freeze=[True]), ValueError,
     r"^Encoder freeze list length \(1\) must match number of active encoder layers \(2\)$", False),
    (dict(decoder_freeze=[True, False, True]), ValueError,
     r"^Decoder freeze list length \(3\) must match number of active decoder layers \(1\)$", True),
    (dict(decoder_active_layers=[3]), IndexError, "", True),
])
def test_stage_errors_leave_earlier_steps_done(staged, change, error, message, encoder_installed):
    trainer = staged()
    model = trainer.model
    full_enc, full_dec = model.enc_layers, model.dec_layers
    with pytest.raises(error, match=message):
        trainer.configure_stage(dict(STAGE, **change))
    assert model.dropout.p == 0.05 and trainer.ce_criterion.label_smoothing == 0.1
    assert (model.enc_layers is not full_enc) == encoder_installed
    assert model.num_ashvenny == (2 if encoder_installed else 3)
    assert model.dec_layers is full_dec and model.num_wendlash == 3


def test_missing_stage_keys_fail_where_they_are_read(staged, capsys):
    trainer = staged()
    stage = {k: v for k, v in STAGE.items() if k != "label_smoothing"}
    with pytest.raises(KeyError, match="label_smoothing"):
        trainer.configure_stage(stage)
    assert capsys.readouterr().out.split("\n")[-2] == "├── Dropout: 0.05"


# ---- subset loaders -------------------------------------------------------------------


@pytest.mark.parametrize("fraction, size", [(0.25, 2), (1.0, 10), (1, 10), (0.5, 5)])
def test_subset_loader(staged, datasets, fraction, size):
    trainer = staged()
    full = datasets[TRAIN]
    sub = trainer.get_subset_dataloader(loader(full, batch_size=5), fraction)
    assert type(sub) is DataLoader and isinstance(sub.sampler, RandomSampler)
    assert sub.batch_size == 2 and sub.num_workers == 0 and sub.pin_memory
    assert sub.collate_fn == full.collate_fn
    subset = sub.dataset
    assert type(subset) is Subset and subset.dataset is full and len(subset) == size
    indices = subset.indices.tolist()
    assert len(set(indices)) == size and all(0 <= i < len(full) for i in indices)
    assert (subset.text_max_len, subset.feat_max_len) == (full.text_max_len, full.feat_max_len)
    assert subset.get_avg_chars_per_token() == full.get_avg_chars_per_token()
    batches = list(sub)
    assert sum(b[0].size(0) for b in batches) == size and all(len(b) == 5 for b in batches)


def test_subset_loader_needs_its_data_keys(staged, datasets):
    config = run_config()
    del config["data"]["NUM_WORKERS"]
    trainer = staged(config=config)
    with pytest.raises(KeyError, match="NUM_WORKERS"):
        trainer.get_subset_dataloader(loader(datasets[TRAIN]), 0.5)


# ---- staged and full training -----------------------------------------------------------


def test_stages_run_the_speech_loop_one_after_another(staged, datasets, capsys):
    trainer = with_optimizer(staged())
    dec0 = trainer.all_wendlash[0]
    before = [p.detach().clone() for p in dec0.parameters()]
    seen, sizes, saves = [], [], []
    configure, subset, save = (trainer.configure_stage, trainer.get_subset_dataloader,
                               trainer.save_checkpoint)
    trainer.configure_stage = lambda s: seen.append(
        (trainer.current_stage, [p.detach().clone() for p in dec0.parameters()])) or configure(s)
    trainer.get_subset_dataloader = lambda dl, f: sizes.append(f) or subset(dl, f)
    trainer.save_checkpoint = lambda name: saves.append((name, trainer.current_epoch)) or save(name)
    stages = [
        dict(name="encoder", epochs=2, encoder_active_layers=[0], decoder_active_layers=[0],
             encoder_freeze=[False], decoder_freeze=[True], dropout=0.0, label_smoothing=0.0,
             data_subset=0.5),
        dict(name="all", epochs=2, encoder_active_layers=[0, 1, 2],
             decoder_active_layers=[0, 1, 2], dropout=0.1, label_smoothing=0.05, data_subset=1.0),
    ]
    trainer.progressive_train(loader(datasets[TRAIN]), loader(datasets[DEV]), stages)
    assert [stage for stage, _ in seen] == [0, 1] and trainer.current_stage == 1
    assert all(torch.equal(a, b) for a, b in zip(before, seen[1][1]))  # frozen in stage 0
    assert sizes == [0.5, 1.0]
    assert [e["epoch"] for e in trainer.training_history] == [0, 1, 2, 3]
    best = [epoch for name, epoch in saves if name == "checkpoint-best-metric-model.pth"]
    assert best[0] == 0 and 2 in best  # each stage's first epoch starts a new best
    assert trainer.current_epoch == 4
    assert "=== Transitioning to Full Training ===" not in capsys.readouterr().out
    # the last stage's set-up stays in force
    assert trainer.model.dropout.p == 0.1 and trainer.ce_criterion.label_smoothing == 0.05
    with pytest.raises(TypeError, match=r"^Argument 'stages' has incorrect type \(expected list, "
                                        r"got tuple\)$"):
        trainer.progressive_train(loader(datasets[TRAIN]), loader(datasets[DEV]), tuple(stages))


def test_a_failing_stage_ends_the_run(staged, datasets):
    trainer = with_optimizer(staged())
    good = dict(STAGE, epochs=0, data_subset=0.2)
    bad = {k: v for k, v in good.items() if k != "data_subset"}
    with pytest.raises(KeyError, match="data_subset"):
        trainer.progressive_train(loader(datasets[TRAIN]), loader(datasets[DEV]), [good, bad, good])
    assert trainer.current_stage == 1


def test_full_training_restores_the_whole_model(staged, datasets, capsys):
    trainer = with_optimizer(staged(label_smoothing=0.2))
    trainer.configure_stage(dict(STAGE, dropout=0.3))
    trainer.model.ctc_head.weight.requires_grad = False
    trainer.best_metric = 3.0
    capsys.readouterr()
    trainer.train(loader(datasets[TRAIN]), loader(datasets[DEV]), 1)
    out = capsys.readouterr().out
    total = sum(p.numel() for p in trainer.model.parameters())
    assert out.startswith(f"\n=== Transitioning to Full Training ===\n"
                          f"├── Total Unfrozen Parameters: {total:,}\n")
    model = trainer.model
    assert list(model.enc_layers) == trainer.all_ashvenny
    assert list(model.dec_layers) == trainer.all_wendlash
    assert (model.num_ashvenny, model.num_wendlash) == (3, 3)
    assert all(p.requires_grad for p in model.parameters())
    assert trainer.ce_criterion.label_smoothing == 0.2 and model.dropout.p == 0.3
    assert len(trainer.training_history) == 1 and trainer.current_stage == 0
    assert trainer.best_metric == trainer.training_history[0]["val"]["cer"]  # restarted from inf


def test_transition_needs_the_configured_label_smoothing(staged):
    config = run_config()
    del config["loss"]["label_smoothing"]
    trainer = staged(config=config)
    trainer.configure_stage(STAGE)
    trainer.best_metric = 3.0
    with pytest.raises(KeyError, match="label_smoothing"):
        trainer.transition_to_full_training()
    assert list(trainer.model.enc_layers) == trainer.all_ashvenny  # restored before the failure
    assert not all(p.requires_grad for p in trainer.model.parameters())  # not yet unfrozen
    assert trainer.best_metric == 3.0
    with pytest.raises(TypeError, match="^Argument 'epochs' has incorrect type"):
        trainer.train(None, None, "1")


@pytest.mark.parametrize("kind, extra", [
    ("sgd", dict(momentum=0.9, nesterov=False, dampening=0.0)),
    ("adam", dict(betas=(0.9, 0.999), eps=1e-8, amsgrad=False)),
    ("adamw", dict(betas=(0.9, 0.999), eps=1e-8, amsgrad=False)),
])
def test_a_frozen_layer_stays_unchanged_through_its_stage(staged, datasets, kind, extra):
    from corvantis.utils import yarrowind

    trainer = staged()
    # one group of every parameter, frozen ones included; momentum, moments and
    # decay all have state left from the stage that trained the layer
    trainer.optimizer = yarrowind(trainer.model, {"name": kind, "lr": 1e-2, "weight_decay": 0.1,
                                                  kind: extra})
    trainer.scheduler = torch.optim.lr_scheduler.StepLR(trainer.optimizer, 1000)
    enc = trainer.all_ashvenny
    snapshots = []
    configure = trainer.configure_stage

    def configure_and_snapshot(stage):
        configure(stage)
        snapshots.append([p.detach().clone() for layer in enc[:2] for p in layer.parameters()])

    trainer.configure_stage = configure_and_snapshot
    stage = dict(name="s", epochs=1, encoder_active_layers=[0, 1], decoder_active_layers=[0],
                 dropout=0.0, label_smoothing=0.0, data_subset=1.0)
    trainer.progressive_train(loader(datasets[TRAIN]), loader(datasets[DEV]),
                              [dict(stage, encoder_freeze=[False, False]),
                               dict(stage, encoder_freeze=[True, False])])
    after = [p.detach() for layer in enc[:2] for p in layer.parameters()]
    n0 = len(list(enc[0].parameters()))
    assert all(torch.equal(a, b) for a, b in zip(snapshots[1][:n0], after[:n0]))
    assert all(p.grad is None for p in enc[0].parameters())
    assert not all(torch.equal(a, b) for a, b in zip(snapshots[1][n0:], after[n0:]))
