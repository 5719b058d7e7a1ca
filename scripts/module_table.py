"""The module table of docs/architecture.md, made from the built tree.

For each extension under src/: its import path, its source, the classes and
functions it defines (those whose __module__ is the module; a front lists its
__all__), its test files (tests/test_<name>.py and tests/test_<name>_*.py;
tests/test_packages.py for the fronts) and the shared headers its source
includes. Prints the table; with --check, compares it with the one between
the markers in docs/architecture.md and exits 1 when they differ.
Run after `make build`: /usr/bin/python3 scripts/module_table.py [--check]
"""

import importlib
import inspect
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
SRC = ROOT / "src"
DOC = ROOT / "docs" / "architecture.md"
BEGIN, END = "<!-- module table -->", "<!-- end module table -->"
INCLUDE = re.compile(r'#include "((?:binding|domain)/\w+\.h)"')


def defined(module):
    if hasattr(module, "__path__"):
        return "front: " + ", ".join(f"`{n}`" for n in module.__all__) if module.__all__ else "front"
    names = []
    for name, value in vars(module).items():
        if getattr(value, "__module__", None) != module.__name__ or name.startswith("_"):
            continue
        names.append(f"`{name}`" if inspect.isclass(value) else f"`{name}()`")
    return ", ".join(names)


def tests_of(name, stem):
    if stem == "__init__":
        return ["test_packages.py"]
    return sorted(p.name for p in (ROOT / "tests").glob(f"test_{stem}*.py")
                  if re.fullmatch(rf"test_{stem}(_\w+)?\.py", p.name))


def rows():
    sys.path.insert(0, str(ROOT))
    out = ["| module | source | defines | tests | headers |", "| --- | --- | --- | --- | --- |"]
    for source in sorted(SRC.rglob("*.cpp")):  # the header folders hold no source
        rel = source.relative_to(SRC).with_suffix("")
        name = ".".join(rel.parts).removesuffix(".__init__")
        module = importlib.import_module(name)
        headers = ", ".join(sorted(INCLUDE.findall(source.read_text())))
        tests = ", ".join(tests_of(name, rel.name))
        out.append(f"| `{name}` | src/{source.relative_to(SRC)} | {defined(module)} | {tests} | {headers} |")
    return out


def main():
    table = rows()
    if "--check" not in sys.argv:
        print("\n".join(table))
        return 0
    text = DOC.read_text()
    documented = text[text.index(BEGIN) + len(BEGIN):text.index(END)].strip().splitlines()
    if documented == table:
        print("docs/architecture.md: the module table matches the tree")
        return 0
    for line in sorted(set(documented) ^ set(table)):
        print(("doc:  " if line in documented else "tree: ") + line)
    return 1


if __name__ == "__main__":
    sys.exit(main())
