"""ASRTrainer: set-up, the joint-loss training epoch, recognition with and
without language-model fusion, error rates, the training loop and evaluation."""

import json
import math
import warnings
from collections import OrderedDict

import pytest
import torch
from torch import nn

from corvantis.decoding.quillane import SequenceGenerator
from corvantis.trainers import marrowby, tolvery
from corvantis.trainers.marrowby import ASRTrainer, ProgressiveTrainer
from speech_setup import (DEV, TEST, TRAIN, ListLoader, Log, StubScheduler, bars, datasets,  # noqa: F401
                          language_model, loader, make_trainer, run_config, script, speech_model,
                          token_batch,
                          with_optimizer, workdir)

# ---- the module and its classes ------------------------------------------------------


def test_module_binds_its_names_in_order():
    names = [n for n in vars(marrowby) if not n.startswith("__")]
    assert names == ["BaseTrainer", "Dict", "Any", "Optional", "List", "Tuple", "Union", "torch",
                     "nn", "tqdm", "F", "SequenceGenerator", "create_scheduler", "yarrowind",
                     "DecoderOnlyTransformer", "aF", "json", "tmt", "Subset", "pd", "ASRTrainer",
                     "ProgressiveTrainer"]
    assert marrowby.BaseTrainer is tolvery.BaseTrainer
    assert marrowby.tmt.__name__ == "corvantis.utils.textmetrics"
    assert marrowby.aF.__name__ == "torchaudio.functional"
    assert marrowby.tqdm.__name__ == "tqdm"


def methods(cls):
    return [k for k, v in vars(cls).items() if callable(v) and not isinstance(v, type)
            and k != "_abc_impl"]


def test_classes_and_method_order():
    assert ASRTrainer.__bases__ == (tolvery.BaseTrainer,)
    assert ProgressiveTrainer.__bases__ == (ASRTrainer,)
    assert not ASRTrainer.__abstractmethods__ and not ProgressiveTrainer.__abstractmethods__
    assert methods(ASRTrainer) == [
        "__init__", "_train_epoch", "_validate_epoch", "train", "evaluate", "recognize",
        "_get_evaluation_recognition_configs", "_calculate_asr_metrics"]
    assert methods(ProgressiveTrainer) == [
        "__init__", "configure_stage", "progressive_train", "transition_to_full_training", "train",
        "get_subset_dataloader"]
    assert ASRTrainer.recognize.__qualname__ == "ASRTrainer.recognize"


# ---- construction -------------------------------------------------------------------


@pytest.mark.parametrize("loss, weight, with_ctc", [
    ({}, 0.0, False),
    ({"ctc_weight": 0}, 0, False),
    ({"ctc_weight": -1.0}, -1.0, False),
    ({"ctc_weight": 0.5, "label_smoothing": 0.1}, 0.5, True),
])
def test_criteria_follow_the_loss_section(make_trainer, loss, weight, with_ctc):
    config = run_config()
    config["loss"] = loss
    trainer = make_trainer(config=config)
    ce = trainer.ce_criterion
    assert type(ce) is nn.CrossEntropyLoss and ce.ignore_index == trainer.tokenizer.pad_id
    assert ce.label_smoothing == loss.get("label_smoothing", 0.0) and ce.reduction == "mean"
    assert trainer.ctc_weight == weight and type(trainer.ctc_weight) is type(weight)
    if with_ctc:
        ctc = trainer.ctc_criterion
        assert type(ctc) is nn.CTCLoss and ctc.blank == trainer.tokenizer.pad_id and ctc.zero_infinity
    else:
        assert trainer.ctc_criterion is None
    assert trainer.config is config and trainer.optimizer is None and trainer.current_epoch == 0


def test_construction_needs_a_loss_section(make_trainer):
    config = run_config()
    del config["loss"]
    with pytest.raises(KeyError, match="loss"):
        make_trainer(config=config)


# ---- the training epoch with scripted collaborators ------------------------------------


def expected_calls(batches, g, with_ctc=True):
    batch = ["model", "ce"] + (["ctc"] if with_ctc else [])
    window = ["scaler.step", "scheduler.step", "scaler.update", "zero_grad"]
    calls = ["train", "zero_grad"]
    for i in range(batches):
        calls += batch + ["scale", "backward"] + (window if (i + 1) % g == 0 else [])
    return calls + (window if batches % g else [])


@pytest.mark.parametrize("batches, g, positions", [
    (10, 4, ["1/4", "2/4", "3/4", "4/4"] * 2 + ["1/4", "2/4"]),
    (3, 1, ["1/1"] * 3),
    (3, 8, ["1/8", "2/8", "3/8"]),
])
def test_step_order_and_accumulation_windows(make_trainer, bars, batches, g, positions):
    trainer = make_trainer(accumulation=g)
    log = script(trainer, ce=[1.0] * batches, ctc=[0.5] * batches)
    metrics, maps = trainer._train_epoch(ListLoader([token_batch(2, i) for i in range(batches)]))
    assert [c if isinstance(c, str) else c[0] for c in log] == expected_calls(batches, g)
    # each batch back-propagates its joint loss divided by the window length
    assert {c[1] for c in log if c[0] == "scale"} == {round(1.25 / g, 6)}
    (bar,) = bars
    assert list(bar.kwargs.items()) == [("total", batches), ("dynamic_ncols", True),
                                        ("leave", False), ("position", 0),
                                        ("desc", "[Training ASR]")]
    assert [p["acc_step"] for p in bar.postfixes] == positions
    assert list(bar.postfixes[0]) == ["ce_loss", "ctc_loss", "joint_loss", "perplexity", "acc_step"]
    assert bar.postfixes[-1]["joint_loss"] == "1.2500" and bar.postfixes[-1]["ctc_loss"] == "0.5000"
    assert bar.postfixes[-1]["perplexity"] == "2.7183"
    assert bar.updates == batches and bar.closed
    assert maps["batch"].item() == batches - 1  # the last batch's maps
    assert trainer.model.training


def test_plateau_scheduler_is_not_stepped_by_the_epoch(make_trainer):
    trainer = make_trainer(accumulation=2)
    log = script(trainer, ce=[1.0] * 3, ctc=[1.0] * 3)

    class Plateau(torch.optim.lr_scheduler.ReduceLROnPlateau):
        def step(self, *args):
            log.add("scheduler.step")

    trainer.scheduler = Plateau(torch.optim.SGD([nn.Parameter(torch.zeros(1))], lr=0.1))
    trainer._train_epoch(ListLoader([token_batch(1)] * 3))
    assert "scheduler.step" not in log and log.count("scaler.step") == 2


def test_means_are_token_weighted(make_trainer):
    trainer = make_trainer()
    script(trainer, ce=[1.0, 2.0], ctc=[3.0, 1.0])
    metrics, _ = trainer._train_epoch(ListLoader([token_batch(10), token_batch(30)], chars=4.0))
    assert list(metrics) == ["ce_loss", "ctc_loss", "joint_loss", "perplexity_token",
                             "perplexity_char"]
    assert all(type(v) is float for v in metrics.values())
    assert metrics["ce_loss"] == pytest.approx(1.75)  # not the batch average 1.5
    assert metrics["ctc_loss"] == pytest.approx(1.5)
    assert metrics["joint_loss"] == pytest.approx(1.75 + 0.5 * 1.5)
    # exponentials of single-precision scalars
    assert metrics["perplexity_token"] == torch.exp(torch.tensor(metrics["ce_loss"])).item()
    assert metrics["perplexity_char"] == torch.exp(torch.tensor(metrics["ce_loss"] / 4.0)).item()
    assert metrics["perplexity_char"] == pytest.approx(1.5488, abs=1e-4)


def test_without_ctc_the_joint_loss_is_the_cross_entropy(make_trainer, bars):
    trainer = make_trainer(ctc_weight=0.0)
    log = script(trainer, ce=[1.0, 3.0])  # no CTC criterion: calling one would fail
    metrics, _ = trainer._train_epoch(ListLoader([token_batch(1), token_batch(1)]))
    assert "ctc" not in log
    assert metrics["ctc_loss"] == 0.0 and metrics["joint_loss"] == metrics["ce_loss"] == 2.0
    assert bars[0].postfixes[-1]["ctc_loss"] == "0.0000"


@pytest.mark.parametrize("change, error, last_call", [
    (lambda t: t.config["training"].update(gradient_accumulation_steps=0), ZeroDivisionError,
     "backward"),
    (lambda t: t.config["training"].clear(), KeyError, "ctc"),
    (lambda t: None, ZeroDivisionError, "zero_grad"),  # an empty loader
])
def test_epoch_failures_happen_where_their_value_is_used(make_trainer, change, error, last_call):
    trainer = make_trainer()
    log = script(trainer, ce=[1.0], ctc=[1.0])
    change(trainer)
    batches = [] if last_call == "zero_grad" else [token_batch(1)]
    with pytest.raises(error):
        trainer._train_epoch(ListLoader(batches))
    assert log[-1] == last_call and "scaler.step" not in log


def test_batches_and_model_results_must_have_their_length(make_trainer):
    trainer = make_trainer()
    script(trainer, ce=[1.0], ctc=[1.0])
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 5, got 4\)"):
        trainer._train_epoch(ListLoader([token_batch(1)[:4]]))
    trainer.model = lambda *args: (torch.zeros(1, 3, 5), {})
    trainer.model.train = lambda: None
    with pytest.raises(ValueError, match=r"expected 3, got 2"):
        trainer._train_epoch(ListLoader([token_batch(1)]))


def test_zero_tokens_fail_at_the_first_progress_update(make_trainer):
    trainer = make_trainer()
    log = script(trainer, ce=[1.0], ctc=[1.0])
    with pytest.raises(ZeroDivisionError):
        trainer._train_epoch(ListLoader([token_batch(0)]))
    assert log[-4:] == ["scaler.step", "scheduler.step", "scaler.update", "zero_grad"]


# ---- the training epoch on a real model -------------------------------------------------


def test_an_utterance_too_short_for_ctc_contributes_no_negative_loss(make_trainer):
    """5 frames shrink to 0 encoder frames beside a 13-frame utterance; CPU CTC
    returns a negative value for that, not the infinity zero_infinity zeroes."""
    trainer = with_optimizer(make_trainer(ctc_weight=1.0), lr=0.0)
    tok = trainer.tokenizer
    ids = [tok.encode("CAT"), tok.encode("DOG")]
    shifted = torch.tensor([[tok.sos_id] + i for i in ids])
    golden = torch.tensor([i + [tok.eos_id] for i in ids])
    torch.manual_seed(0)
    batch = (torch.randn(2, 13, 8), shifted, golden, torch.tensor([5, 13]), torch.tensor([4, 4]))
    with torch.no_grad():  # dropout 0: the epoch's forward pass gives the same
        _, _, ctc = trainer.model(batch[0], shifted, batch[3], batch[4])
    assert ctc["lengths"].tolist()[0] == 0
    per_utterance = nn.functional.ctc_loss(ctc["log_probs"], golden, ctc["lengths"], batch[4],
                                           blank=tok.pad_id, reduction="none")
    assert per_utterance[0] != 0  # PyTorch 1.13's CPU CTC: a negative value
    metrics, _ = trainer._train_epoch(ListLoader([batch]))
    # the short one counts as unalignable: zero, and the mean still over both (the
    # tolerance covers float16 autocast where the CPU has it)
    assert metrics["ctc_loss"] == pytest.approx(per_utterance[1].item() / 4 / 2, rel=1e-3)


def bare_epoch(model, batches, optimizer, scheduler, ctc_weight, g, pad):
    """The same joint-loss steps written as a plain PyTorch loop."""
    ce_fn, ctc_fn = nn.CrossEntropyLoss(ignore_index=pad), nn.CTCLoss(blank=pad, zero_infinity=True)
    model.train()
    optimizer.zero_grad()
    for i, (feats, shifted, golden, feat_len, text_len) in enumerate(batches):
        logits, _, ctc = model(feats, shifted, feat_len, text_len)
        loss = ce_fn(logits.view(-1, logits.size(-1)), golden.view(-1)) + ctc_weight * ctc_fn(
            ctc["log_probs"], golden, ctc["lengths"], text_len)
        (loss / g).backward()
        if (i + 1) % g == 0:
            optimizer.step(), scheduler.step(), optimizer.zero_grad()
    if len(batches) % g:
        optimizer.step(), scheduler.step(), optimizer.zero_grad()


def test_epoch_trains_as_a_bare_loop_does(make_trainer, datasets):
    trainer = with_optimizer(make_trainer(accumulation=2))
    if trainer.device != "cpu":
        pytest.skip("the bare loop runs without autocast")
    batches = list(loader(datasets[TRAIN], batch_size=2))  # 5 batches: a last, short window
    reference = speech_model()
    reference.load_state_dict(trainer.model.state_dict())
    optimizer = torch.optim.Adam(reference.parameters(), lr=1e-2)
    scheduler = torch.optim.lr_scheduler.StepLR(optimizer, 1000)
    bare_epoch(reference, batches, optimizer, scheduler, 0.5, 2, trainer.tokenizer.pad_id)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a CPU epoch runs without autocast and warns nothing
        metrics, maps = trainer._train_epoch(ListLoader(batches))
    for name, value in reference.state_dict().items():
        assert torch.equal(value, trainer.model.state_dict()[name]), name
    assert trainer.scheduler.last_epoch == scheduler.last_epoch == 3
    assert metrics["joint_loss"] == pytest.approx(metrics["ce_loss"] + 0.5 * metrics["ctc_loss"])
    assert [k for k in maps if "dec_cross" in k] == ["layer1_dec_cross", "layer2_dec_cross"]
    assert maps["layer1_dec_cross"].size(0) == 2 and trainer.model.training


def cpu_autocast_dtype():
    """The CPU's autocast dtype while autocast is on there, else None."""
    try:  # PyTorch 2.4 asks per device type and deprecates the CPU's own queries
        on, dtype = torch.is_autocast_enabled("cpu"), torch.get_autocast_dtype("cpu")
    except TypeError:
        on, dtype = torch.is_autocast_cpu_enabled(), torch.get_autocast_cpu_dtype()
    return dtype if on else None


@pytest.mark.parametrize("cpu_bfloat16", [False, True])
def test_cpu_epoch_precision_follows_the_configuration(make_trainer, datasets, cpu_bfloat16):
    trainer = with_optimizer(make_trainer())
    if trainer.device != "cpu":
        pytest.skip("a GPU epoch runs in float16")
    trainer.config["training"]["cpu_bfloat16"] = cpu_bfloat16
    batches = list(loader(datasets[TRAIN], batch_size=2))
    seen, forward = [], trainer.model.forward

    def watched(*args):
        seen.append(cpu_autocast_dtype())
        return forward(*args)

    trainer.model.forward = watched
    before = [p.detach().clone() for p in trainer.model.parameters()]
    metrics, _ = trainer._train_epoch(ListLoader(batches))
    assert seen == [torch.bfloat16 if cpu_bfloat16 else None] * len(batches)
    assert math.isfinite(metrics["joint_loss"]) and math.isfinite(metrics["ctc_loss"])
    assert all(p.dtype == torch.float32 for p in trainer.model.parameters())
    assert any(not torch.equal(a, b) for a, b in zip(before, trainer.model.parameters()))


# ---- recognition ---------------------------------------------------------------------------


def reference_recognition(trainer, batch, max_length, beam=1, lm=None, lm_weight=0.0):
    """Greedy or beam search written out with the generator directly."""
    model, tok = trainer.model.eval(), trainer.tokenizer
    feats, _, _, feat_len, _ = (x.to(trainer.device) for x in batch)
    with torch.inference_mode():
        enc, pad, _, _ = model.encode(feats, feat_len)

        def score(x):
            out = model.score(x, enc, pad)
            return out if lm is None else out + lm_weight * lm.score(x)

        gen = SequenceGenerator(score, tok, max_length, device=trainer.device)
        prompts = torch.full((feats.size(0), 1), tok.sos_id, dtype=torch.long, device=trainer.device)
        if beam > 1:
            seqs, scores = gen.generate_beam(prompts, beam)
            seqs, scores = seqs[:, 0], scores[:, 0]
        else:
            seqs, scores = gen.generate_greedy(prompts)
    trimmed = SequenceGenerator.post_process_sequence(seqs, tok)
    return [tok.decode(s.tolist(), skip_special_tokens=True) for s in trimmed], scores.tolist()


def test_recognition_needs_a_length_before_training(make_trainer, datasets):
    trainer = make_trainer()
    with pytest.raises(ValueError, match=r"^text_max_len is not set\. Please run training loop "
                                         r"first or provide a max_length$"):
        trainer.recognize(loader(datasets[DEV]))
    results = trainer.recognize(loader(datasets[DEV]), max_length=12.9)
    assert len(results) == 4 and all(list(r) == ["target", "generated", "score"] for r in results)
    assert all(len(r["generated"]) <= 11 and type(r["score"]) is float for r in results)
    assert results[0]["target"] == "".join(datasets[DEV].tokenizer.decode(
        datasets[DEV].transcripts_golden[0], skip_special_tokens=True))
    assert not trainer.model.training


@pytest.mark.parametrize("kwargs, message", [
    (dict(max_length="9", recognition_config=[]), "Argument 'max_length' has incorrect type "
                                                  "(expected int, got str)"),
    (dict(recognition_config=OrderedDict(), config_name=1), "Argument 'recognition_config' has "
                                                           "incorrect type (expected dict, got "
                                                           "collections.OrderedDict)"),
    (dict(config_name=b"greedy"), "Argument 'config_name' has incorrect type (expected str, got "
                                  "bytes)"),
])
def test_recognition_argument_checks(make_trainer, kwargs, message):
    with pytest.raises(TypeError) as err:
        make_trainer().recognize(ListLoader([]), **kwargs)
    assert str(err.value) == message


def setting(num_batches=None, beam_width=1, **extra):
    return dict(num_batches=num_batches, beam_width=beam_width, **extra)


@pytest.mark.parametrize("num_batches, processed", [(None, 4), (2, 2), (1, 1), (0, 1), (-3, 1),
                                                    (10, 4)])
def test_batch_limit(make_trainer, datasets, bars, num_batches, processed):
    results = make_trainer().recognize(loader(datasets[TEST], batch_size=1),
                                       setting(num_batches), max_length=6)
    assert len(results) == processed
    assert all(list(r) == ["generated", "score"] for r in results)  # unlabelled
    assert bars[0].kwargs["total"] == 4 and bars[0].kwargs["desc"] == "[Recognizing ASR] : None"
    assert bars[0].updates == processed and bars[0].closed


def test_default_setting_is_greedy_over_five_batches(make_trainer, datasets, bars, monkeypatch):
    trainer = make_trainer()
    made = []

    class Generator(SequenceGenerator):
        def __init__(self, **kwargs):
            made.append(kwargs)
            super().__init__(**kwargs)

        def generate_greedy(self, x, **kwargs):
            made.append((self.score_fn, kwargs))
            return super().generate_greedy(x, **kwargs)

    monkeypatch.setattr(marrowby, "SequenceGenerator", Generator)
    trainer.text_max_len = 7
    results = trainer.recognize(loader(datasets[TRAIN], batch_size=1), config_name="mine")
    assert len(results) == 5 and bars[0].kwargs["desc"] == "[Recognizing ASR] : greedy"
    assert list(made[0].items()) == [("score_fn", None), ("tokenizer", trainer.tokenizer),
                                     ("max_length", 7), ("device", trainer.device)]
    steps = made[1:]
    assert all(kwargs == {"temperature": 1.0} for _, kwargs in steps)
    fns = [fn for fn, _ in steps]
    assert len({id(fn) for fn in fns}) == 5  # a new scoring function per batch
    assert fns[0].__qualname__ == "ASRTrainer.recognize.<locals>.get_score"


@pytest.mark.parametrize("beam", [1, 3])
@pytest.mark.parametrize("lm_weight", [None, 0.0, 2.0])
def test_recognition_with_and_without_a_language_model(make_trainer, datasets, beam, lm_weight):
    trainer = make_trainer()
    batch = next(iter(loader(datasets[DEV], batch_size=4)))
    lm = None if lm_weight is None else language_model()
    calls = []
    if lm is not None:
        own_score = lm.score
        lm.score = lambda x: calls.append(x.size(1)) or own_score(x)
        lm.train()
    config = setting(beam_width=beam, lm_model=lm, lm_weight=lm_weight)
    results = trainer.recognize(ListLoader([batch]), config, "fused", max_length=10)
    calls_made = len(calls)
    texts, scores = reference_recognition(trainer, batch, 10, beam, lm, lm_weight or 0.0)
    assert [r["generated"] for r in results] == texts
    assert [r["score"] for r in results] == pytest.approx(scores, abs=1e-5)
    if lm is not None:
        assert calls_made > 0 and calls[:2] == [1, 2]  # every step, prefixes from the start id
        assert not lm.training
    if lm_weight == 0.0:  # the language model is called and changes nothing
        plain, _ = reference_recognition(trainer, batch, 10, beam)
        assert texts == plain


def test_repeat_penalty_acts_on_beam_search_only(make_trainer, datasets):
    trainer = make_trainer()
    dev = loader(datasets[DEV])
    plain = trainer.recognize(dev, setting(repeat_penalty=1.0), max_length=10)
    assert trainer.recognize(dev, setting(repeat_penalty=1.5), max_length=10) == plain
    beams = trainer.recognize(dev, setting(beam_width=4, repeat_penalty=1.0), max_length=10)
    assert len(beams) == 4 and all(list(r) == ["target", "generated", "score"] for r in beams)


def test_recognition_of_an_empty_loader(make_trainer):
    assert make_trainer().recognize(ListLoader([]), setting(), max_length=5) == []


def test_evaluation_settings(make_trainer):
    trainer = make_trainer()
    lm = language_model()
    configs = trainer._get_evaluation_recognition_configs(lm, lm_weight=1)
    assert list(configs) == ["greedy", "beam_10", "beam_20"]
    for name, width in zip(configs, [1, 10, 20]):
        assert list(configs[name].items()) == [
            ("num_batches", None), ("temperature", 1.0), ("repeat_penalty", 1.0),
            ("lm_weight", 1.0), ("lm_model", lm), ("beam_width", width)]
        assert type(configs[name]["lm_weight"]) is float
    configs["greedy"]["temperature"] = 0.5
    assert configs["beam_10"]["temperature"] == 1.0
    assert trainer._get_evaluation_recognition_configs() is not \
        trainer._get_evaluation_recognition_configs()
    with pytest.raises(TypeError):
        trainer._get_evaluation_recognition_configs(lm_weight="1")


# ---- error rates -----------------------------------------------------------------------------


@pytest.mark.parametrize("references, hypotheses, expected", [
    (["A CAT"], ["A CAT SAT"], {"word_dist": 4.0, "wer": 50.0, "cer": 80.0}),
    ("A CAT", "A CAT SAT", {"word_dist": 4.0, "wer": 50.0, "cer": 80.0}),  # one utterance
    (["A CAT SAT"], ["A CAT"], {"word_dist": 4.0, "wer": 100 / 3, "cer": 400 / 9}),
    (["HELLO", "NO"], ["HELLO", "ON"], {"word_dist": 1.0, "wer": 50.0, "cer": 200 / 7}),
])
def test_error_rates(make_trainer, references, hypotheses, expected):
    metrics = make_trainer()._calculate_asr_metrics(references, hypotheses)
    assert list(metrics) == ["word_dist", "wer", "cer"]
    assert all(type(v) is float for v in metrics.values())
    assert metrics == pytest.approx(expected)


def test_error_rates_use_fresh_metrics_with_hypotheses_first(make_trainer, monkeypatch):
    log = []

    def metric(name):
        class Metric:
            def __init__(self, **kwargs):
                log.append((name, kwargs))

            def __call__(self, preds, target):
                log.append((name, preds, target))
                return torch.tensor(0.25)

        return Metric

    fake = type("tmt", (), {n: metric(n) for n in ("WordErrorRate", "CharErrorRate",
                                                   "EditDistance")})
    monkeypatch.setattr(marrowby, "tmt", fake)
    trainer = make_trainer()
    for _ in range(2):
        assert trainer._calculate_asr_metrics(["REF"], ["HYP"]) == {
            "word_dist": 0.25, "wer": 25.0, "cer": 25.0}
    made = [entry for entry in log if len(entry) == 2]
    assert made == [("WordErrorRate", {}), ("EditDistance", {"reduction": "mean"}),
                    ("CharErrorRate", {})] * 2
    assert all(entry[1:] == (["HYP"], ["REF"]) for entry in log if len(entry) == 3)


# ---- the training loop ------------------------------------------------------------------------


MAPS = {"layer1_enc_self": torch.full((2, 3, 3), 1.0), "layer1_dec_self": torch.full((2, 3, 3), 2.0),
        "layer1_dec_cross": torch.full((2, 3, 4), 3.0),
        "layer2_dec_self": torch.full((2, 3, 3), 4.0),
        "layer2_dec_cross": torch.full((2, 3, 4), 5.0)}


@pytest.fixture
def scripted_loop(make_trainer, datasets):
    """A trainer whose epochs, logging, plots, text files and checkpoints are recorded."""

    def make(cers, maps=MAPS, scheduler=None):
        trainer = with_optimizer(make_trainer(), scheduler=scheduler)
        log, cers = Log(), iter(cers)
        trainer._train_epoch = lambda dl: log.add("train", dl) or ({"ce_loss": 1.0}, maps)
        trainer._validate_epoch = lambda dl: log.add("validate", dl) or (
            {"word_dist": 1.0, "wer": 2.0, "cer": next(cers)}, [{"generated": "A"}])
        trainer._log_metrics = lambda metrics, step: log.add("log", list(metrics), step)
        trainer._save_attention_plot = lambda w, epoch, kind: log.add("plot", w[0, 0].item(),
                                                                      epoch, kind)
        trainer._save_generated_text = lambda text, suffix: log.add("text", suffix)
        trainer.save_checkpoint = lambda name: log.add(
            "save", name, trainer.current_epoch, trainer.best_metric)
        return trainer, log, loader(datasets[TRAIN]), loader(datasets[DEV])

    return make


def test_training_loop_order_and_best_checkpoints(scripted_loop):
    trainer, log, train_dl, val_dl = scripted_loop([30.0, 25.0, 27.0])
    trainer.train(train_dl, val_dl, 3.7)
    best = "checkpoint-best-metric-model.pth"
    expected = []
    for epoch, best_before, improved_to in [(0, math.inf, 30.0), (1, 30.0, 25.0), (2, 25.0, None)]:
        expected += [("train", train_dl), ("validate", val_dl), ("log", ["train", "val"], epoch),
                     ("plot", 2.0, epoch, "decoder_self"), ("plot", 5.0, epoch, "decoder_cross"),
                     ("text", f"val_epoch_{epoch}"),
                     ("save", "checkpoint-last-epoch-model.pth", epoch, best_before)]
        if improved_to is not None:
            expected.append(("save", best, epoch, improved_to))
    assert log == expected
    assert trainer.best_metric == 25.0 and trainer.current_epoch == 3
    assert trainer.text_max_len == max(train_dl.dataset.text_max_len, val_dl.dataset.text_max_len)

    # a later call continues the numbering and restarts the best value
    log.clear()
    trainer._validate_epoch = lambda dl: ({"cer": 40.0}, [])
    trainer.train(train_dl, val_dl, 1)
    assert [e[1:] for e in log if e[0] == "save"] == [
        ("checkpoint-last-epoch-model.pth", 3, 25.0), (best, 3, 40.0)]
    assert trainer.current_epoch == 4


@pytest.mark.parametrize("maps, plotted", [
    ({"layer1_dec_cross": torch.ones(1, 2, 2), "layer1_dec_self": torch.zeros(1, 2, 2)},
     [(0.0, "decoder_self"), (1.0, "decoder_cross")]),
    ({"enc": torch.ones(1, 2, 2), "layer1_dec_self": torch.zeros(1, 2, 2)},
     [(0.0, "decoder_self")]),
    ({}, []),
])
def test_heat_map_key_choice(scripted_loop, maps, plotted):
    trainer, log, train_dl, val_dl = scripted_loop([1.0], maps=maps)
    trainer.train(train_dl, val_dl, 1)
    assert [(e[1], e[3]) for e in log if e[0] == "plot"] == plotted


def test_plateau_scheduler_gets_the_character_error_rate(scripted_loop, make_trainer):
    log = Log()

    class Plateau(torch.optim.lr_scheduler.ReduceLROnPlateau):
        def step(self, *args):
            log.add("plateau", *args)

    trainer, loop_log, train_dl, val_dl = scripted_loop([25.0, 25.0])
    trainer.scheduler = Plateau(trainer.optimizer)
    trainer.train(train_dl, val_dl, 2)
    assert log == [("plateau", 25.0)] * 2
    # a cer equal to the best so far is no improvement
    assert [e[1] for e in loop_log if e[0] == "save"].count("checkpoint-best-metric-model.pth") == 1


def test_training_loop_preconditions(scripted_loop):
    trainer, log, train_dl, val_dl = scripted_loop([])
    trainer.scheduler = trainer.optimizer = None
    with pytest.raises(ValueError, match="^Scheduler is not initialized, initialize it first!$"):
        trainer.train(train_dl, val_dl, 1)
    trainer.scheduler = StubScheduler(log)
    with pytest.raises(ValueError, match="^Optimizer is not initialized, initialize it first!$"):
        trainer.train(train_dl, val_dl, 1)
    assert not hasattr(trainer, "text_max_len")
    with_optimizer(trainer)
    with pytest.raises(TypeError, match=r"^Argument 'epochs' has incorrect type \(expected int, "
                                        r"got str\)$"):
        trainer.train(train_dl, val_dl, "1")
    trainer.train(train_dl, val_dl, 0)
    assert trainer.text_max_len > 0 and log == [] and trainer.current_epoch == 0


def test_joint_loss_falls_over_a_few_epochs(make_trainer, datasets, capsys):
    trainer = with_optimizer(make_trainer(), lr=5e-3)
    trainer.train(loader(datasets[TRAIN], shuffle=True), loader(datasets[DEV]), 4)
    history = trainer.training_history
    joint = [entry["train"]["joint_loss"] for entry in history]
    assert [entry["epoch"] for entry in history] == [0, 1, 2, 3]
    assert joint[-1] < joint[0] * 0.8, joint
    assert all(list(entry["val"]) == ["word_dist", "wer", "cer"] for entry in history)
    root = trainer.expt_root
    saved = json.loads((root / "text" / "text_val_epoch_3.json").read_text())
    assert len(saved) == 4 and list(saved[0]) == ["target", "generated", "score"]
    for kind in ("decoder_self", "decoder_cross"):
        assert (root / "attn" / f"{kind}_attention_epoch3.png").exists()
    assert (root / "checkpoints" / "checkpoint-last-epoch-model.pth").exists()
    assert (root / "checkpoints" / "checkpoint-best-metric-model.pth").exists()
    assert trainer.current_epoch == 4


def test_validation_needs_transcripts(make_trainer, datasets):
    trainer = make_trainer()
    trainer.text_max_len = 6
    metrics, results = trainer._validate_epoch(loader(datasets[DEV]))
    assert list(metrics) == ["word_dist", "wer", "cer"] and len(results) == 4
    with pytest.raises(KeyError, match="target"):
        trainer._validate_epoch(loader(datasets[TEST]))


# ---- evaluation ------------------------------------------------------------------------------


def test_evaluation_of_the_unlabelled_partition(make_trainer, datasets, capsys):
    trainer = make_trainer()
    tables = trainer.evaluate(loader(datasets[TEST]), max_length=8)
    lines = capsys.readouterr().out.splitlines()
    assert [l for l in lines if l.startswith("Evaluating")] == [
        "Evaluating with greedy config", "Evaluating with beam_10 config",
        "Evaluating with beam_20 config"]
    assert list(tables) == ["greedy", "beam_10", "beam_20"]
    for name, table in tables.items():
        assert list(table.columns) == ["id", "transcription"] and list(table["id"]) == [0, 1, 2, 3]
        assert list(table.index) == [0, 1, 2, 3]
        saved = json.loads((trainer.text_dir / f"text_test_{name}_results.json").read_text())
        assert [r["generated"] for r in saved] == list(table["transcription"])
        assert all(list(r) == ["generated", "score"] for r in saved)


def test_evaluation_reports_failing_settings_and_goes_on(make_trainer, datasets, capsys,
                                                         monkeypatch):
    trainer = make_trainer()
    seen = []
    own = trainer.recognize

    def recognize(*args):
        seen.append(args[1:])
        if args[1]["beam_width"] > 1:
            raise RuntimeError("CUDA out of memory")
        return own(*args)

    trainer.recognize = recognize
    tables = trainer.evaluate(loader(datasets[TEST]), max_length=3.9)
    assert list(tables) == ["greedy"]
    assert [s[1:] for s in seen] == [("greedy", 3), ("beam_10", 3), ("beam_20", 3)]
    assert [c["lm_model"] for c, *_ in seen] == [None] * 3
    errors = [l for l in capsys.readouterr().out.splitlines() if l.startswith("Error")]
    assert errors == ["Error evaluating with beam_10 config: CUDA out of memory",
                      "Error evaluating with beam_20 config: CUDA out of memory"]

    trainer.recognize = lambda *args: (_ for _ in ()).throw(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        trainer.evaluate(loader(datasets[TEST]))


def test_evaluation_before_training_and_of_an_empty_loader(make_trainer, capsys):
    trainer = make_trainer()
    assert trainer.evaluate(ListLoader([])) == {}
    errors = [l for l in capsys.readouterr().out.splitlines() if l.startswith("Error")]
    assert len(errors) == 3 and all(e.endswith("Please run training loop first or provide a "
                                               "max_length") for e in errors)
    tables = trainer.evaluate(ListLoader([]), max_length=4)
    assert all(len(t) == 0 for t in tables.values()) and len(tables) == 3
    assert (trainer.text_dir / "text_test_beam_20_results.json").read_text() == "[]"
    with pytest.raises(TypeError, match="^Argument 'max_length' has incorrect type"):
        trainer.evaluate(ListLoader([]), max_length="4")
