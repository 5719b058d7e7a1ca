"""Builds every module under src/ as its own C++ extension.

src/<package path>/<module>.cpp becomes the extension <package path>.<module>;
an __init__.cpp is the package's front. Sources that include torch headers are
built and linked against PyTorch, the rest (package fronts, lumbrix) against
the interpreter only. Sources including domain/openmp.h are built with OpenMP,
those including domain/blas.h also linked against the system BLAS.

Environment switches: CORVANTIS_WERROR=1 turns warnings into errors,
CORVANTIS_SANITIZE=address,undefined builds with those sanitizers,
CORVANTIS_TEST_EXT=1 also builds the test-only extensions under tests/native,
MAX_JOBS=n compiles n extensions at a time when no -j is given (pip install).
"""

import copy
import os
import pathlib
import re

from setuptools import setup
from setuptools.extension import Extension
from torch.utils.cpp_extension import BuildExtension, CppExtension, include_paths
import torch

ROOT = pathlib.Path(__file__).resolve().parent
SRC = ROOT / "src"
# the shared headers: the binding vocabulary and the domain code
HEADER_DIRS = ("binding", "domain")
COMMON_HEADERS = sorted(
    str(p.relative_to(ROOT)) for d in HEADER_DIRS for p in (SRC / d).glob("*.h")
)
USES_TORCH = re.compile(r"#include\s*[<\"](torch|ATen)/")
# OpenMP loops, and matrix products through the system BLAS (which NumPy uses).
USES_OPENMP = re.compile(r'#include\s*"domain/(openmp|blas)\.h"')
USES_BLAS = re.compile(r'#include\s*"domain/blas\.h"')


def compile_args():
    args = ["-std=c++17", "-O2", "-g0", "-fvisibility=hidden", "-Wall", "-Wextra"]
    # PyTorch's headers are third-party: keep their warnings out of ours.
    for path in include_paths():
        args += ["-isystem", path]
    if os.environ.get("CORVANTIS_WERROR") == "1":
        args.append("-Werror")
    sanitize = os.environ.get("CORVANTIS_SANITIZE")
    if sanitize:
        args += [f"-fsanitize={sanitize}", "-fno-omit-frame-pointer", "-g"]
    return args


def link_args():
    sanitize = os.environ.get("CORVANTIS_SANITIZE")
    return [f"-fsanitize={sanitize}"] if sanitize else []


def pybind11_includes():
    """pybind11's headers: its own package, else the copy PyTorch ships, else the system's."""
    try:
        import pybind11

        return [pybind11.get_include()]
    except ImportError:
        return [p for p in include_paths() if os.path.isdir(os.path.join(p, "pybind11"))]


def module_name(source, base):
    rel = source.relative_to(base).with_suffix("")
    return ".".join(rel.parts)


def extension(name, source):
    kwargs = dict(
        sources=[str(source.relative_to(ROOT))],
        include_dirs=[str(SRC)],
        depends=COMMON_HEADERS,
        extra_compile_args=compile_args(),
        extra_link_args=link_args(),
        language="c++",
    )
    text = source.read_text()
    if USES_OPENMP.search(text):
        # no-trapping-math lets comparisons in loops become vector selects
        # (nothing here reads floating-point traps); no contracted multiply-adds,
        # so every vector level computes the same results
        kwargs["extra_compile_args"] += ["-fopenmp", "-fno-trapping-math", "-ffp-contract=off"]
        kwargs["extra_link_args"].append("-fopenmp")
    if USES_BLAS.search(text):
        kwargs["extra_link_args"].append("-l:libblas.so.3")
    if name == "corvantis.__init__":
        # The top front checks the PyTorch it runs with against this stamp.
        kwargs["define_macros"] = [("CORVANTIS_BUILT_TORCH", torch.__version__.replace(" ", ""))]
    if USES_TORCH.search(text):
        return CppExtension(name, **kwargs)
    kwargs["include_dirs"] += pybind11_includes()
    return Extension(name, **kwargs)


def default_jobs():
    jobs = os.environ.get("MAX_JOBS", "")
    return int(jobs) if jobs.isdigit() and int(jobs) > 0 else os.cpu_count() or 1


def extensions():
    found = [(module_name(s, SRC), s) for s in sorted(SRC.rglob("*.cpp"))]
    if os.environ.get("CORVANTIS_TEST_EXT") == "1":
        native = ROOT / "tests" / "native"
        found += [("tests." + s.stem, s) for s in sorted(native.glob("*.cpp"))]
    return [extension(name, source) for name, source in found]


class ParallelBuild(BuildExtension):
    """Builds extensions side by side, each in its own temporary directory.

    PyTorch's ninja step writes build.ninja into the build directory, so
    extensions compiled in parallel must not share one. Without -j (pip runs
    build_ext without it) the count is MAX_JOBS, PyTorch's own setting, or
    else the number of CPUs.
    """

    def finalize_options(self):
        super().finalize_options()
        if not self.parallel:
            self.parallel = default_jobs()

    def build_extension(self, ext):
        own = copy.copy(self)
        own.build_temp = os.path.join(self.build_temp, ext.name)
        return BuildExtension.build_extension(own, ext)

    def copy_extensions_to_source(self):
        # the package folders hold no sources, so they may not exist yet
        for ext in self.extensions:
            package = ext.name.rpartition(".")[0]
            os.makedirs(package.replace(".", os.sep), exist_ok=True)
        super().copy_extensions_to_source()


setup(
    name="corvantis",
    version="0.1.0",
    description="Transformer speech recognition and language models on PyTorch, in C++",
    python_requires=">=3.11",
    # what the modules import when they load; Debian's python3-* packages provide them
    install_requires=["torch", "torchaudio", "numpy", "pandas", "matplotlib", "seaborn", "tqdm"],
    extras_require={"tracking": ["wandb"]},
    ext_modules=extensions(),
    cmdclass={"build_ext": ParallelBuild.with_options(use_ninja=True)},
    zip_safe=False,
)
