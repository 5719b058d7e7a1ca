"""examples/demo.py, the main job, end to end on a corpus of a few stand-in utterances.

The speech is the tone synthesiser of the corpus tests and the models are
tiny, so this checks the driver's wiring (trainers, evaluation, recognition,
error rates, the final line), not what it learns.
"""

import importlib.util
import json
import pathlib
import re

import pytest
import torch

from test_make_corpus import mc, sentence_pool, tone, write_fortunes

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
TINY = ["model.d_model=16", "model.num_encoder_layers=1", "model.num_decoder_layers=1",
        "model.num_encoder_heads=2", "model.num_decoder_heads=2",
        "model.d_ff_encoder=32", "model.d_ff_decoder=32", "data.batch_size=4",
        "lm.model.d_model=16", "lm.model.num_layers=1", "lm.model.num_heads=2", "lm.model.d_ff=32",
        "lm.model.max_len=48", "demo.beam_width=2", "demo.eval_batch_size=2", "demo.threads=1"]


def _load():
    spec = importlib.util.spec_from_file_location("demo", EXAMPLES / "demo.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


demo = _load()


@pytest.fixture
def corpus(tmp_path):
    fortunes = write_fortunes(tmp_path / "fortunes", sentence_pool(40))
    root = tmp_path / "corpus"
    mc.build(root, {"train": 8, "dev": 2, "test": 2, "heldout": 3}, seed=1, workers=1,
             files=[fortunes], synthesise=tone, progress=False)
    return root


@pytest.fixture
def run_dir(tmp_path, monkeypatch):
    work = tmp_path / "run"
    work.mkdir()
    monkeypatch.chdir(work)
    threads = torch.get_num_threads()
    yield work
    torch.set_num_threads(threads)


def test_the_demo_trains_evaluates_and_reports_the_heldout_error_rates(corpus, run_dir, capsys):
    args = ["--corpus", str(corpus), "--epochs", "1", "--lm-epochs", "1"]
    demo.main(args + [item for key in TINY for item in ("--set", key)])
    lines = capsys.readouterr().out.strip().splitlines()
    assert re.fullmatch(r"demo: CER \d+\.\d% WER \d+\.\d% on 3 held-out utterances, \d+ s", lines[-1])
    table = lines[lines.index(next(l for l in lines if l.startswith("held-out voices (3 utterances"))) + 2:][:3]
    assert [row.split()[0] for row in table] == ["greedy", "beam_2", "beam_2+lm_0.3"]
    best_cer = min(float(row.split()[2]) for row in table)
    assert f"CER {best_cer:.1f}%" in lines[-1]
    # the best setting per held-out voice: only voices that training never heard
    voices = lines[lines.index(next(l for l in lines if l.startswith("per voice, "))) + 1:][:3]
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


def test_the_demo_refuses_a_folder_without_a_corpus(tmp_path, run_dir):
    with pytest.raises(SystemExit, match="holds no corpus"):
        demo.main(["--corpus", str(tmp_path)])
    with pytest.raises(SystemExit, match="KEY=VALUE"):
        demo.main(["--set", "model.d_model"])
