"""examples/demo.py, the main job, end to end on a corpus of a few stand-in utterances.

The speech is the tone synthesiser of the corpus tests and the models are
tiny, so this checks the driver's wiring (trainers, evaluation, recognition,
error rates, the final line), not what it learns.
"""

import contextlib
import importlib.util
import io
import json
import os
import pathlib
import re
import shutil
import wave

import numpy as np
import pytest
import torch
import yaml

from test_make_corpus import mc, sentence_pool, tone, write_fortunes

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
TINY = ["model.d_model=16", "model.num_encoder_layers=1", "model.num_decoder_layers=1",
        "model.num_encoder_heads=2", "model.num_decoder_heads=2",
        "model.d_ff_encoder=32", "model.d_ff_decoder=32", "data.batch_size=4",
        "lm.model.d_model=16", "lm.model.num_layers=1", "lm.model.num_heads=2", "lm.model.d_ff=32",
        "lm.model.max_len=48", "demo.beam_width=2", "demo.eval_batch_size=2", "demo.threads=1"]


def _load(name):
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


demo, transcribe = _load("demo"), _load("transcribe")


@pytest.fixture
def run_dir(tmp_path, monkeypatch):
    work = tmp_path / "run"
    work.mkdir()
    monkeypatch.chdir(work)
    threads = torch.get_num_threads()
    yield work
    torch.set_num_threads(threads)


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """One tiny demo run: (its printed lines, the folder it ran in)."""
    tmp = tmp_path_factory.mktemp("demo")
    fortunes = write_fortunes(tmp / "fortunes", sentence_pool(40))
    corpus = tmp / "corpus"
    mc.build(corpus, {"train": 8, "dev": 2, "test": 2, "heldout": 3}, seed=1, workers=1,
             files=[fortunes], synthesise=tone, progress=False)
    work, here, threads = tmp / "run", os.getcwd(), torch.get_num_threads()
    work.mkdir()
    os.chdir(work)
    try:
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            demo.main(["--corpus", str(corpus), "--epochs", "1", "--lm-epochs", "1"]
                      + [item for key in TINY for item in ("--set", key)])
    finally:
        os.chdir(here)
        torch.set_num_threads(threads)
    return out.getvalue().strip().splitlines(), work


def test_the_demo_trains_evaluates_and_reports_the_heldout_error_rates(trained):
    lines, run_dir = trained
    assert re.fullmatch(r"demo: CER \d+\.\d% WER \d+\.\d% on 3 held-out utterances, \d+ s", lines[-1])
    assert re.fullmatch(r"phases: speech training \d+ s, test-clean evaluation \d+ s, language model \d+ s, "
                        r"search weights on dev-clean \d+ s, held-out recognition \d+ s", lines[-2])
    assert any(re.fullmatch(r"torch threads: 1 \(demo.threads\)", l) for l in lines)
    assert torch.cuda.is_available() or any(l.startswith("CPU training precision: ") for l in lines)
    # the CTC head weighs in at its setting; the fusion weights are tried on dev-clean with it;
    # the held-out voices get greedy search and the search chosen
    assert "CTC weight: 0.3 (demo.ctc_weight)" in lines
    tried = [l.split(",")[1].split(":")[0].strip() for l in lines if l.startswith("dev-clean, beam_2")]
    search = "beam_2+ctc_0.3"
    assert tried == [search, search + "+lm_0.1", search + "+lm_0.2"]
    chosen = next(l for l in lines if l.startswith("language model weight: "))
    start = lines.index(next(l for l in lines if l.startswith("held-out voices (3 utterances"))) + 2
    table = lines[start:lines.index("", start)]
    names = [row.split()[0] for row in table]
    assert names[:2] == ["greedy", search]
    assert names[2:] == ([] if "none lowers" in chosen else [f"{search}+lm_{chosen.split()[-1]}"])
    reported = table[-1].split()
    assert f"CER {float(reported[2]):.1f}% WER {float(reported[1]):.1f}%" in lines[-1]
    # the reported setting per held-out voice: only voices that training never heard
    assert f"per voice, {names[-1]}:" in lines
    voices = lines[lines.index(f"per voice, {names[-1]}:") + 1:][:3]
    heldout = {mc.voice_name(v) for v in mc.HELDOUT_VOICES}
    named = [row.split()[0] for row in voices if "utterances" in row]
    assert named and set(named) <= heldout
    assert sum(int(row.split()[1]) for row in voices if "utterances" in row) == 3
    # what the trainers leave behind: evaluation transcripts of test-clean, checkpoints, the LM's run
    asr = run_dir / "expts" / "demo-asr"
    for name in ("greedy", "beam_10", "beam_20"):
        results = json.loads((asr / "text" / f"text_test_{name}_results.json").read_text())
        assert len(results) == 2 and "target" not in results[0]
    assert (asr / "checkpoints" / "checkpoint-best-metric-model.pth").is_file()
    assert (run_dir / "expts" / "demo-lm" / "checkpoints" / "checkpoint-last-epoch-model.pth").is_file()
    assert "num_encoder_layers: 1" in (asr / "config.yaml").read_text()  # the overrides are what it keeps


@pytest.mark.parametrize("setting, native, expected, why", [
    ("auto", True, True, "the CPU multiplies in bfloat16"),
    ("auto", False, False, "the CPU has no bfloat16 products"),
    (True, False, True, "demo.bfloat16"),
    (False, True, False, "demo.bfloat16"),
])
def test_cpu_training_precision(monkeypatch, capsys, setting, native, expected, why):
    monkeypatch.setattr(demo, "cpu_has_bfloat16", lambda: native)
    monkeypatch.setattr(torch.cuda, "is_available", lambda: False)
    config = {"training": {}, "lm": {"training": {}}}
    demo.use_cpu_precision(config, setting)
    assert config["training"]["cpu_bfloat16"] is expected and config["lm"]["training"]["cpu_bfloat16"] is expected
    precision = "bfloat16 autocast" if expected else "float32"
    assert capsys.readouterr().out == f"CPU training precision: {precision} ({why})\n"


@pytest.mark.parametrize("frames, tokens, padded", [(33, 9, (64, 16)), (32, 8, (32, 8)), (1, 1, (32, 8))])
def test_training_batches_padded_to_rounded_shapes(frames, tokens, padded):
    feats = torch.randn(2, frames, 5)
    shifted, golden = torch.randint(1, 9, (2, tokens)), torch.randint(1, 9, (2, tokens))
    lengths = (torch.tensor([frames, 1]), torch.tensor([tokens, 1]))
    out = demo.RoundedPadding(lambda items: (feats, shifted, golden, *lengths), pad_id=0)([])
    assert out[0].shape == (2, padded[0], 5) and out[1].shape == out[2].shape == (2, padded[1])
    assert torch.equal(out[0][:, :frames], feats) and not out[0][:, frames:].any()
    for got, was in zip(out[1:3], (shifted, golden)):
        assert torch.equal(got[:, :tokens], was) and not got[:, tokens:].any()
    assert out[3] is lengths[0] and out[4] is lengths[1]


def test_rounded_padding_leaves_the_losses_as_they_were():
    torch.manual_seed(0)
    model = demo.EncoderDecoderTransformer(5, 12, max_len=20, d_model=16, num_encoder_layers=1,
                                           num_decoder_layers=1, num_encoder_heads=2, num_decoder_heads=2,
                                           d_ff_encoder=32, d_ff_decoder=32, dropout=0.0, time_reduction=4,
                                           reduction_method="conv").eval()
    feats = torch.randn(2, 45, 5)
    feats[1, 30:] = 0.0
    shifted, golden = torch.randint(4, 12, (2, 7)), torch.randint(4, 12, (2, 7))
    batch = (feats, shifted, golden, torch.tensor([45, 30]), torch.tensor([7, 5]))
    ce, ctc = torch.nn.CrossEntropyLoss(ignore_index=0), torch.nn.CTCLoss(blank=0, zero_infinity=True)

    def losses(feats, shifted, golden, feat_lengths, lengths):
        logits, _, out = model(feats, shifted, feat_lengths, lengths)
        return (ce(logits.reshape(-1, 12), golden.reshape(-1)),
                ctc(out["log_probs"], golden, out["lengths"], lengths))

    golden[1, 5:] = shifted[1, 5:] = 0
    padded = demo.RoundedPadding(lambda items: batch, pad_id=0)([])
    assert padded[0].size(1) == 64 and padded[1].size(1) == 8
    for plain, rounded in zip(losses(*batch), losses(*padded)):
        assert torch.allclose(plain, rounded, atol=1e-5)


def write_wav(path, samples, rate, channels=1, width=2):
    data = np.repeat(samples[:, None], channels, axis=1)
    scaled = {1: (data * 127 + 128).astype(np.uint8), 2: (data * 32767).astype("<i2"),
              4: (data * 2 ** 31 * 0.999).astype("<i4")}[width]
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(scaled.tobytes())
    return path


def test_transcribe_reads_wav_files_with_the_trained_model(trained, tmp_path, capsys):
    _, run_dir = trained
    expt = run_dir / "expts" / "demo-asr"
    speech, rate = tone("HELLO THERE", None, 1.0, 0, None)
    resampled = np.interp(np.arange(0, len(speech), 8000 / 22050), np.arange(len(speech)), speech)
    files = [write_wav(tmp_path / "mono.wav", speech, rate),
             write_wav(tmp_path / "stereo.wav", resampled.astype(np.float32), 22050, channels=2),
             write_wav(tmp_path / "wide.wav", speech, rate, width=4)]
    transcribe.main([str(f) for f in files] + ["--expt", str(expt)])
    lines = capsys.readouterr().out.strip().splitlines()
    assert [l.split("\t")[0] for l in lines] == [str(f) for f in files]
    texts = [l.split("\t", 1)[1] for l in lines]
    assert all(set(t) <= mc.ALPHABET for t in texts)
    # the same speech at another rate and in two channels gives the same features, near enough
    feats = [transcribe.features(f, 80) for f in files[:2]]
    assert abs(feats[0].shape[1] - feats[1].shape[1]) <= 1
    # the model it read is the best checkpoint's, with the CTC weight the demo chose
    state = torch.load(expt / transcribe.RECOGNISER, weights_only=True)
    assert state["ctc_weight"].item() == pytest.approx(0.3)
    best = torch.load(expt / "checkpoints" / "checkpoint-best-metric-model.pth", weights_only=False)
    for key, value in best["model_state_dict"].items():
        torch.testing.assert_close(state["model_state_dict"][key], value)


@pytest.mark.parametrize("norm", ["cepstral", "global_mvn"])
def test_transcribe_normalises_as_the_recogniser_was_trained(trained, tmp_path, norm):
    """Per utterance under "cepstral" (nothing stored); with the saved training statistics under "global_mvn"."""
    expt = tmp_path / "expt"
    shutil.copytree(trained[1] / "expts" / "demo-asr", expt)
    config = yaml.safe_load((expt / "config.yaml").read_text())
    assert config["data"]["dataset"]["norm"] == "cepstral"  # the demo's own setting
    state = torch.load(expt / transcribe.RECOGNISER, weights_only=True)
    assert "global_mean" not in state
    feats = np.random.default_rng(0).normal(3.0, 2.0, size=(80, 40)).astype(np.float32)
    mean, std = torch.linspace(-1, 1, 80), torch.linspace(1, 2, 80)
    if norm == "global_mvn":
        config["data"]["dataset"]["norm"] = norm
        (expt / "config.yaml").write_text(yaml.safe_dump(config))
        state["global_mean"], state["global_std"] = mean, std
        torch.save(state, expt / transcribe.RECOGNISER)
        expected = (torch.from_numpy(feats) - mean[:, None]) / (std[:, None] + 1e-8)
    else:
        expected = torch.from_numpy(feats)
        expected = (expected - expected.mean(1, keepdim=True)) / (expected.std(1, keepdim=True) + 1e-8)
    recogniser = transcribe.Recogniser(expt)
    got = recogniser.dataset([feats], tmp_path / "features")[0][0]
    torch.testing.assert_close(got, expected, rtol=1e-4, atol=1e-4)


def test_transcribe_explains_what_it_cannot_use(trained, tmp_path):
    _, run_dir = trained
    expt = str(run_dir / "expts" / "demo-asr")
    rate = 16000
    cases = {
        "missing.wav": (None, "no such file"),
        "text.wav": (b"not a wave file", "not a PCM WAV file"),
        "empty.wav": (np.zeros(0, np.float32), "holds no audio"),
        "silent.wav": (np.zeros(rate, np.float32), "only silence"),
        "click.wav": (np.r_[np.zeros(rate), 0.5 * np.ones(800), np.zeros(rate)].astype(np.float32),
                      "too short to recognise"),
    }
    for name, (content, message) in cases.items():
        path = tmp_path / name
        if isinstance(content, bytes):
            path.write_bytes(content)
        elif content is not None:
            write_wav(path, content, rate)
        with pytest.raises(SystemExit, match=message):
            transcribe.main([str(path), "--expt", expt])
    with pytest.raises(SystemExit, match="no trained recogniser in .*make demo"):
        transcribe.main([str(tmp_path / "missing.wav"), "--expt", str(tmp_path)])


def test_the_demo_refuses_a_folder_without_a_corpus(tmp_path, run_dir):
    with pytest.raises(SystemExit, match="holds no corpus"):
        demo.main(["--corpus", str(tmp_path)])
    with pytest.raises(SystemExit, match="KEY=VALUE"):
        demo.main(["--set", "model.d_model"])
