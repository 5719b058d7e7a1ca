"""Mistakes in settings and inputs fail at once (construction of the dataset,
factory or trainer, or the start of `train`), with the exception kind of the
mistake and a message naming the key or argument, the value and what is expected."""

import re

import numpy as np
import pytest
import torch
from torch.utils.data import DataLoader

from corvantis.data.dunskell import LMDataset
from corvantis.data.pimbrook import ASRDataset
from corvantis.data.tokenizer import ZelTokenizer
from corvantis.model import EncoderDecoderTransformer
from corvantis.trainers.brenwick import LMTrainer
from corvantis.trainers.marrowby import ASRTrainer, ProgressiveTrainer
from corvantis.utils import yarrowind
from speech_setup import (BINS, DEV, TEST, TRAIN, ListLoader, dataset_config,  # noqa: F401
                          datasets, language_model, loader, make_trainer, run_config, script,
                          speech_model, token_batch, with_optimizer, workdir)

NUM_CLASSES = ZelTokenizer().num_classes
STAGE = dict(name="s", epochs=1, encoder_active_layers=[0, 1], decoder_active_layers=[0],
             dropout=0.0, label_smoothing=0.0, data_subset=0.5)


class Env:
    """What the mistakes are made with: the speech corpus and datasets, and
    builders for trainers, a text loader and an optimizer."""

    def __init__(self, workdir, datasets, make_trainer):
        self.root, self.ds, self.make_trainer = workdir, datasets, make_trainer

    def asr(self, cls=ASRTrainer, model=None, **changes):
        config = run_config()
        for section, values in changes.items():
            config[section].update(values)
        return with_optimizer(self.make_trainer(cls, config=config, model=model))

    def loaders(self, labelled=DEV):
        return loader(self.ds[TRAIN]), loader(self.ds[labelled])

    def text_loader(self, texts=("A CAT ON A HAT", "THE SUN IS UP")):
        part = self.root / "text" / str(len(list((self.root / "text").glob("*"))))
        part.mkdir(parents=True)
        for i, t in enumerate(texts):
            np.save(part / f"{i}.npy", np.array(list(t)))
        ds = LMDataset(part.name, {"root": str(part.parent)}, ZelTokenizer())
        return DataLoader(ds, batch_size=2, collate_fn=ds.collate_fn)

    def lm(self, **training):
        config = {"training": {"gradient_accumulation_steps": 1, **training}, "data": {}}
        trainer = LMTrainer(language_model(), ZelTokenizer(), config, "lm",
                            str(self.root / "run.yaml"))
        trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=0.0)
        trainer.scheduler = torch.optim.lr_scheduler.StepLR(trainer.optimizer, 1000)
        return trainer

    def speech_dataset(self, partition=TRAIN, **changes):
        return ASRDataset(partition, dict(dataset_config(self.root / "corpus"), **changes),
                          ZelTokenizer(), True)

    def stages(self, **changes):
        trainer = self.asr(ProgressiveTrainer, model=speech_model(layers=2))
        trainer.progressive_train(*self.loaders(), [STAGE, dict(STAGE, **changes)])
        return trainer

    def recognize(self, **setting):
        config = dict(num_batches=1, beam_width=1, lm_weight=0.0, lm_model=None)
        config.update(setting)
        return self.asr().recognize(loader(self.ds[DEV]), config, max_length=5)

    def generate(self, **setting):
        return self.lm().generate(self.text_loader(), setting)


@pytest.fixture
def env(workdir, datasets, make_trainer, capsys):
    return Env(workdir, datasets, make_trainer)


def empty_fbank(env):
    (env.root / "corpus" / "empty" / "fbank").mkdir(parents=True)
    (env.root / "corpus" / "empty" / "text").mkdir()
    empty = ASRDataset("empty", dataset_config(env.root / "corpus"), ZelTokenizer(), True)
    env.asr().train(loader(empty), loader(env.ds[DEV]), 1)


def zero_token_batch(env):
    trainer = env.asr()
    script(trainer, ce=[1.0], ctc=[1.0])
    trainer._train_epoch(ListLoader([token_batch(0)]))


# (mistake, exception, the whole message)
MISTAKES = {
    # what a new user got wrong first
    "lr read as text from YAML": (
        lambda env: yarrowind(speech_model(), {"name": "adam", "lr": "1e-3", "weight_decay": 0.0}),
        TypeError, "lr must be a number, got str '1e-3' (YAML reads an exponent without a dot "
                   "and a sign as text: write 1.0e-3, not 1e-3)"),
    "unlabelled validation partition": (
        lambda env: env.asr().train(*env.loaders(labelled=TEST), 1),
        ValueError, "val_dataloader holds the partition 'test-clean', which has no transcripts; "
                    "training and validation need a labelled partition such as 'dev-clean'"),
    "unlabelled training partition": (
        lambda env: env.asr().train(loader(env.ds[TEST]), loader(env.ds[DEV]), 1),
        ValueError, "train_dataloader holds the partition 'test-clean', which has no "
                    "transcripts; training and validation need a labelled partition such as "
                    "'dev-clean'"),
    "norm typo": (
        lambda env: env.speech_dataset(norm="global-mvn"),
        ValueError, "norm must be 'global_mvn', 'cepstral' or 'none', got 'global-mvn'"),
    "model input_dim unlike the features": (
        lambda env: env.asr(model=EncoderDecoderTransformer(
            2 * BINS, NUM_CLASSES, d_model=16, num_encoder_layers=1, num_decoder_layers=1,
            num_encoder_heads=2, num_decoder_heads=2, d_ff_encoder=32, d_ff_decoder=32,
            max_len=40, time_reduction=2)),
        ValueError, f"data.num_feats ({BINS}) must equal the model's input_dim ({2 * BINS})"),
    "model num_classes unlike the tokenizer": (
        lambda env: env.asr(model=EncoderDecoderTransformer(
            BINS, NUM_CLASSES - 2, d_model=16, num_encoder_layers=1, num_decoder_layers=1,
            num_encoder_heads=2, num_decoder_heads=2, d_ff_encoder=32, d_ff_decoder=32,
            max_len=40, time_reduction=2)),
        ValueError, f"model num_classes ({NUM_CLASSES - 2}) must equal the tokenizer's "
                    f"num_classes ({NUM_CLASSES})"),
    "num_feats as a float": (
        lambda env: env.speech_dataset(num_feats=8.0),
        TypeError, "num_feats must be an integer number of feature bins, got float 8.0"),
    "ctc_weight as text": (
        lambda env: env.asr(loss={"ctc_weight": "0.3"}),
        TypeError, "loss.ctc_weight must be a finite number, got str '0.3'"),
    "empty fbank folder": (
        empty_fbank, ZeroDivisionError,
        "float division by zero: the training epoch counted no target token (an empty loader, "
        "or transcript lengths that sum to 0)"),
    "stage data_subset as a percentage": (
        lambda env: env.stages(data_subset=50),
        ValueError, "data_subset of stage 's' must be a fraction in (0, 1], got 50"),
    "dev transcripts shorter than the generation prompt": (
        lambda env: env.lm().train(env.text_loader(), env.text_loader(["AB", "CD"]), 1),
        ValueError, "val_dataloader: no transcript is longer than the generation prompt_length "
                    "(20 tokens), so no prompt can be drawn after each epoch"),
    # values outside their domain
    "negative accumulation": (
        lambda env: env.asr(training={"gradient_accumulation_steps": -1})._train_epoch(
            loader(env.ds[TRAIN])),
        ValueError, "training.gradient_accumulation_steps must be a positive integer, got -1"),
    "NaN accumulation": (
        lambda env: env.lm(gradient_accumulation_steps=float("nan"))._train_epoch(
            env.text_loader()),
        TypeError, "training.gradient_accumulation_steps must be a positive integer, got "
                   "float nan"),
    "fractional accumulation": (
        lambda env: env.lm(gradient_accumulation_steps=1.5)._train_epoch(env.text_loader()),
        TypeError, "training.gradient_accumulation_steps must be a positive integer, got "
                   "float 1.5"),
    "zero accumulation": (  # fails where the modulo would, after the first backward pass
        lambda env: env.lm(gradient_accumulation_steps=0)._train_epoch(env.text_loader()),
        ZeroDivisionError, "integer modulo by zero: training.gradient_accumulation_steps is 0; "
                           "it must be a positive integer"),
    "infinite ctc_weight": (
        lambda env: env.asr(loss={"ctc_weight": float("inf")}),
        ValueError, "loss.ctc_weight must be a finite number, got inf"),
    "NaN ctc_weight": (
        lambda env: env.asr(loss={"ctc_weight": float("nan")}),
        ValueError, "loss.ctc_weight must be a finite number, got nan"),
    "NaN speech label smoothing": (
        lambda env: env.asr(loss={"label_smoothing": float("nan")}),
        ValueError, "loss.label_smoothing must be a number in [0, 1], got nan"),
    "NaN text label smoothing": (
        lambda env: env.lm(label_smoothing=float("nan")),
        ValueError, "training.label_smoothing must be a number in [0, 1], got nan"),
    "zero recognition temperature": (
        lambda env: env.recognize(temperature=0),
        ValueError, "recognition temperature must be a finite number above 0, got 0"),
    "NaN recognition temperature": (
        lambda env: env.recognize(temperature=float("nan")),
        ValueError, "recognition temperature must be a finite number above 0, got nan"),
    "negative recognition temperature": (
        lambda env: env.recognize(temperature=-1.0),
        ValueError, "recognition temperature must be a finite number above 0, got -1.0"),
    "NaN fusion weight": (
        lambda env: env.recognize(lm_model=language_model(), lm_weight=float("nan")),
        ValueError, "recognition lm_weight must be a finite number, got nan"),
    "infinite fusion weight": (
        lambda env: env.recognize(lm_model=language_model(), lm_weight=float("inf")),
        ValueError, "recognition lm_weight must be a finite number, got inf"),
    "NaN top_p": (
        lambda env: env.generate(top_p=float("nan")),
        ValueError, "generation top_p must be a number in [0, 1], got nan"),
    "negative top_p": (
        lambda env: env.generate(top_p=-0.5),
        ValueError, "generation top_p must be a number in [0, 1], got -0.5"),
    "negative top_k": (
        lambda env: env.generate(top_k=-1),
        ValueError, "generation top_k must be a number of at least 0 (0: no top-k cut), got -1"),
    "zero temperature of a greedy generation": (
        lambda env: env.generate(temperature=0.0),
        ValueError, "generation temperature must be a finite number above 0, got 0.0"),
    "negative data_subset": (
        lambda env: env.stages(data_subset=-0.5),
        ValueError, "data_subset of stage 's' must be a fraction in (0, 1], got -0.5"),
    "negative subset fraction": (
        lambda env: env.asr(ProgressiveTrainer).get_subset_dataloader(loader(env.ds[TRAIN]), -0.5),
        ValueError, "subset_fraction must be a fraction in (0, 1], got -0.5"),
    "flags as active layers": (
        lambda env: env.stages(encoder_active_layers=[True, False]),
        TypeError, "encoder_active_layers of stage 's' must be a non-empty list of integer "
                   "layer indices, got list [True, False]"),
    "no active layer": (
        lambda env: env.stages(decoder_active_layers=[]),
        ValueError, "decoder_active_layers of stage 's' must be a non-empty list of integer "
                    "layer indices, got []"),
    "freeze flags as text": (
        lambda env: env.stages(encoder_freeze="no"),
        TypeError, "encoder_freeze of stage 's' must be a list of true/false flags, got str 'no'"),
    "freeze flags holding text": (
        lambda env: env.stages(encoder_freeze=["no", "no"]),
        TypeError, "encoder_freeze of stage 's' must be a list of true/false flags, got list "
                   "['no', 'no']"),
    # errors that used to be someone else's
    "transcript lengths of 0": (
        zero_token_batch, ZeroDivisionError,
        "float division by zero: the training epoch counted no target token (an empty loader, "
        "or transcript lengths that sum to 0)"),
    "empty text loader": (
        lambda env: env.lm()._validate_epoch(env.text_loader([])),
        ZeroDivisionError, "float division by zero: the pass counted no token (an empty loader, "
                           "or transcript lengths that sum to 0)"),
    "prompt_length 0": (
        lambda env: env.generate(prompt_length=0),
        ValueError, "generation prompt_length must be a length of at least 1 (the start token), "
                    "got 0"),
    "num_samples 0": (
        lambda env: env.generate(num_samples=0),
        ValueError, "generation num_samples must be a number of prompts of at least 1, got 0"),
}


@pytest.mark.parametrize("mistake", MISTAKES)
def test_a_mistake_fails_at_once_and_says_what_is_expected(env, mistake):
    make, error, message = MISTAKES[mistake]
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        make(env)


def test_a_stage_mistake_fails_before_any_stage_trains(env):
    with pytest.raises(ValueError, match="data_subset of stage 's'"):
        env.stages(data_subset=50)
    assert not list((env.root / "expts" / "run" / "checkpoints").iterdir())


def test_values_with_a_stated_meaning_keep_it(env):
    # a negative CTC weight switches the term off; negative layer indices count from the end
    assert env.asr(loss={"ctc_weight": -1}).ctc_criterion is None
    trainer = env.asr(ProgressiveTrainer, model=speech_model(layers=2))
    trainer.configure_stage(dict(STAGE, encoder_active_layers=[-1, -2]))
    assert list(trainer.model.enc_layers) == trainer.all_ashvenny[::-1]
    # once sampling is selected, the generator's own checks and messages apply
    with pytest.raises(ValueError, match=r"^top_k must be >= 0$"):
        env.generate(top_k=-1, top_p=0.5)
