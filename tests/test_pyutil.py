"""The shared operations on Python values, through the test-only extension _pyutilcheck."""

import operator
import sys
import types

import numpy as np
import pytest
import torch

import _pyutilcheck as p

# CPython's rich-comparison codes (Py_LT ... Py_GE)
OPS = {"<": 0, "<=": 1, "==": 2, "!=": 3, ">": 4, ">=": 5}
PYTHON_OPS = {"<": operator.lt, "<=": operator.le, "==": operator.eq,
              "!=": operator.ne, ">": operator.gt, ">=": operator.ge}


class Unequal:
    def __eq__(self, other):
        raise LookupError("no equality here")


def outcome(fn, *args):
    """What the call returns, or the type and text of what it raises."""
    try:
        out = fn(*args)
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return type(e), str(e)
    return type(out), out


@pytest.mark.parametrize(
    "a, op, b",
    [(1, "<", 2), (2, "<=", 2.0), ("a", ">", "b"), ((1, 2), "==", (1, 2)), (1, "!=", True),
     (3, ">=", 4), (1, "<", "a"), (None, ">", 0), (Unequal(), "==", 1)],
)
def test_compare_is_the_interpreters(a, op, b):
    assert outcome(p.compare, a, b, OPS[op]) == outcome(lambda: bool(PYTHON_OPS[op](a, b)))


@pytest.mark.parametrize("op", ["add", "sub", "mul", "truediv", "mod", "floordiv"])
@pytest.mark.parametrize("a, b", [(7, 2), (-7, 2), (7.5, -2), (True, 3), (1, 0), (1.0, 0.0),
                                  ("ab", 2), ([1], [2]), (None, 1)])
def test_binary_operators_are_the_interpreters(op, a, b):
    assert outcome(p.binary, op, a, b) == outcome(getattr(operator, op), a, b)


@pytest.mark.parametrize(
    "value, expected",
    [(5, 5), (-3, -3), (True, 1), (np.int64(9), 9), (2**63 - 1, 2**63 - 1),
     (2**63, (OverflowError, "int too big to convert")),
     (1.5, (TypeError, "'float' object cannot be interpreted as an integer")),
     ("3", (TypeError, "'str' object cannot be interpreted as an integer"))],
)
def test_index_of(value, expected):
    got = outcome(p.index_of, value)
    assert got == (expected if isinstance(expected, tuple) else (int, expected))


@pytest.mark.parametrize(
    "container, element, expected",
    [("cab", "ab", True), ([1, 2], 3, False), ({"k": 1}, "k", True),
     (5, 1, (TypeError, "argument of type 'int' is not iterable"))],
)
def test_contains(container, element, expected):
    got = outcome(p.contains, container, element)
    assert got == (expected if isinstance(expected, tuple) else (bool, expected))


class Recorder:
    def __init__(self):
        self.calls = []

    def __enter__(self):
        self.calls.append("enter")

    def __exit__(self, kind, value, trace):
        self.calls.append((kind, value, trace))


def raise_key():
    raise KeyError("from python")


@pytest.mark.parametrize(
    "how, body, error, has_trace",
    [("none", None, None, False), ("python", raise_key, KeyError, True),
     ("set", None, ValueError, False), ("native", None, RuntimeError, False)],
)
def test_within_exits_with_what_leaves_the_body(how, body, error, has_trace):
    ctx = Recorder()
    if error is None:
        p.within(ctx, how, body)
    else:
        with pytest.raises(error) as caught:
            p.within(ctx, how, body)
    assert ctx.calls[0] == "enter" and len(ctx.calls) == 2
    kind, value, trace = ctx.calls[1]
    if how in ("python", "set"):
        # the exception __exit__ saw is the one that reached the caller
        assert kind is error and value is caught.value
        assert isinstance(trace, types.TracebackType) if has_trace else trace is None
    else:
        # a C++ exception has no Python parts to show
        assert (kind, value, trace) == (None, None, None)


def test_is_tensor():
    assert p.is_tensor(torch.zeros(2)) and p.is_tensor(torch.nn.Parameter(torch.zeros(1)))
    assert not p.is_tensor(np.zeros(2)) and not p.is_tensor([0.0])


@pytest.mark.parametrize(
    "module_name, target, levels, expected",
    [("corvantis.trainers.brenwick", "tolvery", 1, "corvantis.trainers.tolvery"),
     ("corvantis.trainers.marrowby", "decoding.quillane", 2, "corvantis.decoding.quillane"),
     ("corvantis.model.ashvenny", "fallowmere", 1, "corvantis.model.fallowmere")],
)
def test_relative_import(module_name, target, levels, expected):
    assert p.relative(module_name, target, levels) is sys.modules[expected]


def test_module_imports_and_globals(monkeypatch):
    import typing

    assert p.Tuple is typing.Tuple and p.Optional is typing.Optional
    # looked up at each use: a patched global is what the next lookup returns
    marker = object()
    monkeypatch.setattr(p, "Tuple", marker)
    assert p.global_("Tuple") is marker
    with pytest.raises(AttributeError):
        p.global_("missing")
