"""The README's quickstart is examples/quickstart.py, and it runs as written."""

import ast
import os
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "examples" / "quickstart.py"


def test_readme_shows_the_script_whole():
    readme = (ROOT / "README.md").read_text()
    section = readme[readme.index("## Quickstart"):]
    block = re.search(r"```python\n(.*?)```\n", section, re.S).group(1)
    assert block == SCRIPT.read_text()


def test_script_runs_on_the_corpus_it_writes(tmp_path):
    env = {**os.environ, "PYTHONPATH": str(ROOT), "TMPDIR": str(tmp_path)}
    out = subprocess.run([sys.executable, str(SCRIPT)], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-3000:]
    assert "epoch 5: loss" in out.stdout
    recognised = re.search(r"^recognised: (\[.*\])$", out.stdout, re.M)
    assert recognised and len(ast.literal_eval(recognised.group(1))) == 4
    assert list(tmp_path.iterdir()), "the corpus is written under TMPDIR"
