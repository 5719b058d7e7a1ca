"""The README's trainer driver runs as written with the run.yaml it shows."""

import os
import pathlib
import re
import subprocess
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]


def section():
    readme = (ROOT / "README.md").read_text()
    start = readme.index("## Training with the trainers")
    return readme[start:readme.index("\n## ", start + 1)]


def write_corpus(root):
    """Four short utterances per partition, 80 bins; test-clean without text."""
    rng = np.random.default_rng(0)
    for partition in ("train-clean-100", "dev-clean", "test-clean"):
        (root / partition / "fbank").mkdir(parents=True)
        (root / partition / "text").mkdir()
        for i, text in enumerate(["HELLO", "GOOD DAY", "SEE YOU", "THANKS"]):
            feats = rng.normal(size=(80, 6 * len(text))).astype(np.float32)
            np.save(root / partition / "fbank" / f"{i}.npy", feats)
            if partition != "test-clean":
                np.save(root / partition / "text" / f"{i}.npy", np.array(list(text)))


def test_driver_and_its_run_yaml_train_resume_and_evaluate(tmp_path):
    text = section()
    python = re.findall(r"```python\n(.*?)```\n", text, re.S)
    (run_yaml,) = re.findall(r"```yaml\n(.*?)```\n", text, re.S)
    (tmp_path / "run.yaml").write_text(run_yaml)
    write_corpus(tmp_path / "corpus")
    # the driver, then resuming and recognising with an explicit length, as shown
    (tmp_path / "driver.py").write_text("\n".join(python))
    env = {**os.environ, "PYTHONPATH": str(ROOT), "OMP_NUM_THREADS": "2", "MPLBACKEND": "Agg"}
    out = subprocess.run([sys.executable, "driver.py"], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-3000:]
    assert "Evaluating with beam_20 config" in out.stdout
    assert "Error" not in out.stdout
    assert "Checkpoint loaded from epoch 1" in out.stdout
    run = tmp_path / "expts" / "my-run"
    assert sorted(p.name for p in (run / "checkpoints").iterdir()) == [
        "checkpoint-best-metric-model.pth", "checkpoint-last-epoch-model.pth"]
    assert (run / "text" / "text_test_greedy_results.json").exists()
    assert (tmp_path / "best-before-resume.pth").exists()
