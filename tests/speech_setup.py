"""Shared set-up of the speech-trainer tests: a tiny learnable corpus, a tiny
EncoderDecoderTransformer, trainers built in a temporary working directory,
and stand-ins that record the order of the trainer's calls."""

import numpy as np
import pytest
import torch
from torch.utils.data import DataLoader

from corvantis.data.pimbrook import ASRDataset
from corvantis.data.tokenizer import ZelTokenizer
from corvantis.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from reference.progress import record_bars

TRAIN, DEV, TEST = "train-clean-100", "dev-clean", "test-clean"
BINS, FRAMES_PER_CHAR = 8, 3
WORDS = ["CAT", "DOG", "SUN", "HAT", "TOP"]


def sentences(n, seed):
    rng = np.random.default_rng(seed)
    return [" ".join(rng.choice(WORDS, size=int(rng.integers(1, 3)))) for _ in range(n)]


def write_corpus(root, sizes=((TRAIN, 10), (DEV, 4), (TEST, 4))):
    """Features follow the characters (a fixed pattern per character plus noise),
    so the task is learnable; the test partition has no transcripts."""
    patterns = np.random.default_rng(0).normal(size=(128, BINS)).astype(np.float32)
    noise = np.random.default_rng(1)
    for seed, (partition, count) in enumerate(sizes):
        (root / partition / "fbank").mkdir(parents=True)
        if partition != TEST:
            (root / partition / "text").mkdir(parents=True)
        for i, text in enumerate(sentences(count, seed)):
            frames = np.repeat(patterns[[ord(c) for c in text]], FRAMES_PER_CHAR, axis=0)
            frames = frames + 0.2 * noise.normal(size=frames.shape).astype(np.float32)
            np.save(root / partition / "fbank" / f"{i:03d}.npy", frames.T.copy())
            if partition != TEST:
                np.save(root / partition / "text" / f"{i:03d}.npy", np.array(list(text)))
    return root


def dataset_config(root):
    conf = dict(time_mask_width_range=2, freq_mask_width_range=2, apply_freq_mask=True,
                num_freq_mask=1, apply_time_mask=True, num_time_mask=1)
    return dict(root=str(root), num_feats=BINS, norm="none", specaug=False, specaug_conf=conf)


def run_config(ctc_weight=0.5, accumulation=1, label_smoothing=0.0):
    return {"training": {"gradient_accumulation_steps": accumulation},
            "loss": {"ctc_weight": ctc_weight, "label_smoothing": label_smoothing},
            "data": {"num_feats": BINS, "batch_size": 2, "NUM_WORKERS": 0}}


def speech_model(layers=2, seed=0):
    torch.manual_seed(seed)
    return EncoderDecoderTransformer(
        BINS, ZelTokenizer().num_classes, d_model=16, num_encoder_layers=layers,
        num_decoder_layers=layers, num_encoder_heads=2, num_decoder_heads=2, d_ff_encoder=32,
        d_ff_decoder=32, dropout=0.0, max_len=40, time_reduction=2, reduction_method="conv")


def language_model(seed=1):
    torch.manual_seed(seed)
    return DecoderOnlyTransformer(ZelTokenizer().num_classes, 40, d_model=16, num_layers=1,
                                  num_heads=2, d_ff=32, dropout=0.0)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A corpus under tmp_path, which is also the working directory ("expts" lands there).

    Tensors this small gain nothing from threads, and on a loaded machine
    waiting threads make each step many times slower."""
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    monkeypatch.chdir(tmp_path)
    write_corpus(tmp_path / "corpus")
    (tmp_path / "run.yaml").write_text("training: {}\n")
    yield tmp_path
    torch.set_num_threads(threads)


@pytest.fixture
def datasets(workdir, capsys):
    tok = ZelTokenizer()
    conf = dataset_config(workdir / "corpus")
    out = {p: ASRDataset(p, conf, tok, p == TRAIN) for p in (TRAIN, DEV, TEST)}
    capsys.readouterr()
    return out


def loader(dataset, batch_size=2, shuffle=False):
    return DataLoader(dataset, batch_size=batch_size, shuffle=shuffle,
                      collate_fn=dataset.collate_fn)


@pytest.fixture
def make_trainer(workdir, capsys):
    """make_trainer(cls=ASRTrainer, config=None, model=None, **run_config kwargs)."""

    def make(cls=None, config=None, model=None, **kwargs):
        from corvantis.trainers.marrowby import ASRTrainer

        cls = cls or ASRTrainer
        trainer = cls(model or speech_model(), ZelTokenizer(), config or run_config(**kwargs),
                      "run", str(workdir / "run.yaml"))
        capsys.readouterr()
        return trainer

    return make


def with_optimizer(trainer, lr=1e-2, scheduler=None):
    trainer.optimizer = torch.optim.Adam(trainer.model.parameters(), lr=lr)
    trainer.scheduler = scheduler or torch.optim.lr_scheduler.StepLR(trainer.optimizer, 1000)
    return trainer


# ---- stand-ins that record the order of calls ----------------------------------


class Log(list):
    def add(self, *entry):
        self.append(entry[0] if len(entry) == 1 else entry)


class StubLoss:
    """Backward of a scripted loss is recorded, then run for real."""

    def __init__(self, loss, log):
        self.loss, self.log = loss, log

    def backward(self):
        self.log.add("backward")
        self.loss.backward()


class StubScaler:
    def __init__(self, log):
        self.log = log

    def scale(self, loss):
        self.log.add("scale", round(loss.item(), 6))
        return StubLoss(loss, self.log)

    def step(self, optimizer):
        self.log.add("scaler.step")

    def update(self):
        self.log.add("scaler.update")


class StubOptimizer:
    param_groups = [{"lr": 0.5}]

    def __init__(self, log):
        self.log = log

    def zero_grad(self):
        self.log.add("zero_grad")


class StubScheduler:
    def __init__(self, log):
        self.log = log

    def step(self, *args):
        self.log.add("scheduler.step", *args)


class ScriptedModel(torch.nn.Module):
    """Returns fixed outputs; the scripted criteria give each batch its losses."""

    def __init__(self, log):
        super().__init__()
        self.weight = torch.nn.Parameter(torch.ones(()))
        self.log = log

    def forward(self, feats, shifted, feat_lengths, transcript_lengths):
        self.log.add("model")
        logits = self.weight * torch.zeros(feats.size(0), shifted.size(1), 5)
        maps = {"batch": feats[:, 0, 0].clone()}
        return logits, maps, {"log_probs": torch.zeros(4, feats.size(0), 5),
                              "lengths": feat_lengths}

    def train(self, mode=True):
        self.log.add("train")
        return super().train(mode)


class ScriptedCriterion:
    def __init__(self, model, values, log, name):
        self.model, self.values, self.log, self.name = model, list(values), log, name

    def __call__(self, *args):
        self.log.add(self.name)
        return self.model.weight * 0 + self.values.pop(0)


class ListLoader:
    """A loader over fixed batches, with the dataset member the epoch reads."""

    class Dataset:
        def __init__(self, chars):
            self.chars = chars

        def get_avg_chars_per_token(self):
            return self.chars

    def __init__(self, batches, chars=4.0):
        self.batches, self.dataset = batches, self.Dataset(chars)

    def __len__(self):
        return len(self.batches)

    def __iter__(self):
        return iter(self.batches)


def token_batch(tokens, index=0):
    """A batch whose only meaningful item is its transcript length."""
    feats = torch.full((1, 4, BINS), float(index))
    ids = torch.zeros(1, 3, dtype=torch.long)
    return feats, ids, ids, torch.tensor([4]), torch.tensor([tokens])


def script(trainer, ce, ctc=None):
    """Replaces the trainer's collaborators by recording stand-ins; returns the log."""
    log = Log()
    trainer.model = ScriptedModel(log)
    trainer.ce_criterion = ScriptedCriterion(trainer.model, ce, log, "ce")
    if ctc is not None:
        trainer.ctc_criterion = ScriptedCriterion(trainer.model, ctc, log, "ctc")
    trainer.scaler, trainer.optimizer = StubScaler(log), StubOptimizer(log)
    trainer.scheduler = StubScheduler(log)
    return log


@pytest.fixture
def bars(monkeypatch):
    from corvantis.trainers import marrowby

    return record_bars(monkeypatch, marrowby)
