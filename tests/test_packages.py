"""Every module imports; fronts are extensions; the PyTorch stamp is checked."""

import importlib
import pathlib
import subprocess
import sys

import pytest

SRC = pathlib.Path(__file__).resolve().parents[1] / "src"
MODULES = sorted(
    ".".join(p.relative_to(SRC).with_suffix("").parts).removesuffix(".__init__")
    for p in SRC.rglob("*.cpp")
)


@pytest.mark.parametrize("name", MODULES)
def test_every_module_is_an_importable_extension(name):
    module = importlib.import_module(name)
    assert module.__file__.endswith(".so"), module.__file__
    if name.count(".") == 0 or module.__file__.rsplit("/", 1)[-1].startswith("__init__"):
        assert isinstance(module.__all__, list) and hasattr(module, "__path__")


def test_lumbrix_does_not_need_torch():
    code = "import sys, lumbrix.nn.activation, lumbrix.nn.gorsemont; print('torch' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_torch_mismatch_is_a_readable_import_error():
    code = "import torch; torch.__version__ = '0.0.1'; import corvantis.data.tokenizer"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode != 0
    assert "ImportError: corvantis was built against PyTorch" in out.stderr
    assert "but PyTorch 0.0.1 is installed" in out.stderr
