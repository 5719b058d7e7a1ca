"""The shared binding layer, through the test-only extension _bindingcheck."""

import abc
import inspect
import decimal
import fractions
import pickle
import pydoc

import numpy as np
import pytest
import torch

import _bindingcheck as b


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: b.exact2(1), "exact2() takes exactly 2 positional arguments (1 given)"),
        (lambda: b.exact2(), "exact2() takes exactly 2 positional arguments (0 given)"),
        (lambda: b.exact2(1, 2, 3), "exact2() takes exactly 2 positional arguments (3 given)"),
        (lambda: b.exact2(a=1), "exact2() takes exactly 2 positional arguments (1 given)"),
        (lambda: b.exact2(b=1), "exact2() takes exactly 2 positional arguments (0 given)"),
        (lambda: b.range13(), "range13() takes at least 1 positional argument (0 given)"),
        (lambda: b.range13(1, 2, 3, 4), "range13() takes at most 3 positional arguments (4 given)"),
        (lambda: b.range13(1, z=2), "range13() got an unexpected keyword argument 'z'"),
        (lambda: b.range13(1, a=2), "range13() got multiple values for argument 'a'"),
        (lambda: b.range13(c=2), "range13() takes at least 1 positional argument (0 given)"),
        (lambda: b.kwonly(1), "kwonly() needs keyword-only argument k"),
        (lambda: b.kwonly(1, 2), "kwonly() takes exactly 1 positional argument (2 given)"),
        (lambda: b.exact2(1, **{"b": 2, "é": 3}), "exact2() got an unexpected keyword argument 'é'"),
    ],
)
def test_call_shape_errors_use_host_texts(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_missing_required_argument_is_checked_before_unknown_keywords():
    # the first missing positional is reported even when a stray keyword is present
    with pytest.raises(TypeError, match=r"exactly 2 positional arguments \(1 given\)"):
        b.exact2(1, c=3)


def test_binding_fills_by_position_keyword_and_default():
    assert b.range13(1) == (1, 2, 3)
    assert b.range13(1, c=9) == (1, 2, 9)
    assert b.range13(c=9, b=8, a=7) == (7, 8, 9)
    assert b.kwonly(1, k=5) == (1, 5, None)


@pytest.mark.parametrize(
    "value, expected",
    [
        (7, 7),
        (7.9, 7),
        (-7.9, -7),
        (True, 1),
        (np.float64(3.5), 3),
        (np.int32(4), 4),
        (torch.tensor(5.7), 5),
        (decimal.Decimal("6.2"), 6),
        (fractions.Fraction(7, 2), 3),
        (2**70, 2**70),
    ],
)
def test_int_conversion_follows_int(value, expected):
    out = b.convert("int", value)
    assert out == expected and type(out) is int


def test_exact_int_is_kept_as_the_same_object():
    big = 10**30
    assert b.convert("int", big) is big


@pytest.mark.parametrize(
    "kind, value, expected, got",
    [
        ("int", "8", "int", "str"),
        ("int", None, "int", "NoneType"),
        ("int", [1], "int", "list"),
        ("int", 1j, "int", "complex"),
        ("str", 3, "str", "int"),
        ("str", None, "str", "NoneType"),
        ("dict", [], "dict", "list"),
        ("list", (), "list", "tuple"),
        ("tuple", [], "tuple", "list"),
        ("dict?", 0, "dict", "int"),
    ],
)
def test_conversion_refusals_name_argument_and_types(kind, value, expected, got):
    with pytest.raises(TypeError) as err:
        b.convert(kind, value)
    assert str(err.value) == (
        f"Argument 'value' has incorrect type (expected {expected}, got {got})"
    )


def test_int_conversion_errors_of_int_itself_propagate():
    with pytest.raises(OverflowError):
        b.convert("int", float("inf"))
    with pytest.raises(ValueError):
        b.convert("int", float("nan"))
    with pytest.raises(OverflowError):
        b.convert("int64", 2**70)


@pytest.mark.parametrize("value, expected", [(0.25, 0.25), (1, 1.0), (np.float32(0.5), 0.5), (True, 1.0)])
def test_float_conversion(value, expected):
    out = b.convert("float", value)
    assert out == expected and type(out) is float


@pytest.mark.parametrize("value, got", [("0.1", "str"), (None, "NoneType"), ([0.1], "list")])
def test_float_conversion_refuses_non_numbers_with_its_own_error(value, got):
    with pytest.raises(TypeError, match=f"must be real number, not {got}"):
        b.convert("float", value)


class StrSub(str):
    pass


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    "kind, value",
    [("str", StrSub("x")), ("dict", DictSub()), ("list?", type("L", (list,), {})()), ("tuple?", type("T", (tuple,), {})())],
)
def test_exact_types_refuse_subclasses(kind, value):
    with pytest.raises(TypeError, match="has incorrect type"):
        b.convert(kind, value)


@pytest.mark.parametrize("kind, value", [("str", "x"), ("dict", {"a": 1}), ("list", [1]), ("tuple", (1,))])
def test_exact_types_pass_the_same_object(kind, value):
    assert b.convert(kind, value) is value
    assert b.convert(kind + "?", value) is value
    assert b.convert(kind + "?", None) is None


def test_print_goes_through_builtins_print(capsys, monkeypatch):
    b.say("hello")
    assert capsys.readouterr().out == "hello!\n"
    seen = []
    monkeypatch.setattr("builtins.print", lambda *a, **k: seen.append((a, k)))
    b.say("again")
    assert seen == [(("again",), {"end": "!\n"})]


def test_call_passes_keywords_in_the_given_order():
    assert b.call_ordered(lambda *a, **k: (a, list(k))) == ((1,), ["zeta", "alpha", "mu"])


@pytest.mark.parametrize("exc", [ValueError, KeyError, RuntimeError, ZeroDivisionError])
def test_raise_sets_type_and_text(exc):
    with pytest.raises(exc) as err:
        b.fail(exc, "some text")
    assert err.value.args == ("some text",)


class TestClasses:
    def test_abstract_methods_are_honoured(self):
        assert b.Base.__abstractmethods__ == frozenset({"step"})
        assert type(b.Base) is abc.ABCMeta
        with pytest.raises(TypeError, match="Can't instantiate abstract class Base"):
            b.Base(1)

        class Partial(b.Base):
            pass

        # Python 3.12 quotes the name: "... for abstract method 'step'"
        with pytest.raises(TypeError, match="abstract method '?step'?$"):
            Partial(1)

        class Python(b.Base):
            def step(self):
                return self.x + 1

        assert Python(2).twice() == 6

    def test_native_subclass_of_native_class(self):
        c = b.Concrete(4.9)
        assert isinstance(c, b.Base) and c.x == 4 and c.twice() == 8
        assert b.Concrete.__mro__[1] is b.Base

    def test_names_docs_and_methods(self):
        assert b.Base.__module__ == "_bindingcheck" and b.Base.__qualname__ == "Base"
        assert b.Base.__doc__ == "Abstract test base."
        assert b.Base.twice.__qualname__ == "Base.twice"
        assert b.Base.twice.__name__ == "twice"
        assert b.Base.step.__isabstractmethod__ and not b.Base.twice.__isabstractmethod__
        c = b.Concrete(1)
        assert c.twice.__self__ is c
        assert b.Base.twice(c) == 2  # unbound access, instance passed explicitly

    def test_static_method(self):
        assert b.Base.plus(2, 3) == 5 and b.Concrete(0).plus("a", "b") == "ab"
        with pytest.raises(TypeError, match=r"plus\(\) takes exactly 2 positional arguments \(1 given\)"):
            b.Base.plus(1)

    def test_method_call_shape_counts_the_instance(self):
        with pytest.raises(TypeError, match=r"twice\(\) takes exactly 1 positional argument \(2 given\)"):
            b.Concrete(1).twice(5)

    def test_instances_pickle_by_class_reference(self):
        c = pickle.loads(pickle.dumps(b.Concrete(3)))
        assert type(c) is b.Concrete and c.x == 3


@pytest.mark.parametrize("context", ["fork", "spawn"])
def test_instances_cross_dataloader_workers(context, tokenizer):
    items = b.Items(["ab", "c", "abc", ""], tokenizer)
    loader = torch.utils.data.DataLoader(
        items, batch_size=None, num_workers=2, multiprocessing_context=context
    )
    assert list(loader) == [tokenizer.encode(t) for t in items.texts]


# ---- signatures ------------------------------------------------------------
# Each native function must describe itself exactly as the Python function
# with the same parameter list would.


def py_exact2(a, b):
    pass


def py_range13(a, b=2, c=3):
    pass


def py_kwonly(a, *, k, j=None):
    pass


def py_annotated(n: int, mask: "Optional[torch.Tensor]" = None, *, flag: bool = False) -> "Tuple[int, int]":
    pass


PYTHON_TWINS = [(b.exact2, py_exact2), (b.range13, py_range13), (b.kwonly, py_kwonly),
                (b.annotated, py_annotated)]


@pytest.mark.parametrize("native, python", PYTHON_TWINS, ids=lambda f: getattr(f, "__name__", ""))
class TestSignatures:
    def test_signature_and_function_attributes_match_python(self, native, python):
        assert inspect.signature(native) == inspect.signature(python)
        assert str(inspect.signature(native)) == str(inspect.signature(python))
        for attr in ("__defaults__", "__kwdefaults__", "__annotations__"):
            assert getattr(native, attr) == getattr(python, attr), attr

    @pytest.mark.parametrize(
        "args, kwargs",
        [((), {}), ((1,), {}), ((1, 2), {}), ((1, 2, 3), {}), ((1, 2, 3, 4), {}),
         ((), {"a": 1, "b": 2}), ((1,), {"a": 1}), ((1,), {"c": 3}), ((1,), {"k": 0}),
         ((), {"n": 1, "flag": True}), ((1,), {"zzz": 0}), ((1, 2), {"b": 2}),
         ((), {"k": 1, "a": 2, "j": 3})],
    )
    def test_binds_what_the_signature_binds_with_the_same_defaults(self, native, python, args, kwargs):
        try:
            bound = inspect.signature(python).bind(*args, **kwargs)
        except TypeError:
            with pytest.raises(TypeError):
                native(*args, **kwargs)
            return
        bound.apply_defaults()
        got = native(*args, **kwargs)
        assert len(got) == len(bound.arguments)
        assert all(x is y for x, y in zip(got, bound.arguments.values()))

    def test_signature_is_made_once(self, native, python):
        assert native.__signature__ is native.__signature__


def test_defaults_are_the_objects_the_binder_fills():
    sig = inspect.signature(b.annotated)
    assert b.annotated(1)[1] is sig.parameters["mask"].default is None
    assert b.annotated(1)[2] is sig.parameters["flag"].default is b.annotated.__kwdefaults__["flag"]


@pytest.mark.parametrize(
    "obj, text",
    [
        (b.Base, "(x)"),
        (b.Base.__init__, "(self, x)"),
        (b.Concrete, "(x)"),
        (b.Base.twice, "(self)"),
        (b.Concrete(1).twice, "()"),
        (b.Base.plus, "(a, b)"),
        (b.Concrete(1).plus, "(a, b)"),
        (b.Concrete.raw, "(*args, **kwargs)"),
        (b.Concrete(1).raw, "(*args, **kwargs)"),
        (b.Concrete.double.fget, "(self)"),
        (b.Items, "(texts, tokenizer)"),
    ],
)
def test_methods_and_classes_show_python_signatures(obj, text):
    # bound methods and classes drop the instance, as Python's do
    assert str(inspect.signature(obj)) == text


def test_help_shows_the_signatures():
    text = pydoc.render_doc(b.Concrete, renderer=pydoc.plaintext)
    for line in ["Concrete(x)", "__init__(self, x)", "raw(*args, **kwargs)", "twice(self)",
                 "plus(a, b)", "double", "x, twice"]:
        assert line in text
    assert "(...)" not in text


@pytest.mark.parametrize(
    "kind, message",
    [("required after default", "f(): required parameter b after one with a default"),
     ("positional after keyword-only", "f(): positional parameter a after a keyword-only one")],
)
def test_parameter_lists_python_could_not_declare_are_refused(kind, message):
    with pytest.raises(RuntimeError) as err:
        b.malformed(kind)
    assert str(err.value) == message


def test_typed_bodies_get_their_parameters_converted():
    assert b.typed(7.9, 1, "s") == (7, 1.0, "s", None)
    assert b.typed(s="s", x=0.5, n=2, any=[1]) == (2, 0.5, "s", [1])


@pytest.mark.parametrize(
    "args, message",
    [
        # every argument wrong: the first parameter's conversion is the one reported
        (("n", "x", 1), "Argument 'n' has incorrect type (expected int, got str)"),
        ((1, "x", 1), "must be real number, not str"),
        ((1, 2.0, 1), "Argument 's' has incorrect type (expected str, got int)"),
    ],
)
def test_typed_conversions_run_in_parameter_order_with_their_texts(args, message):
    with pytest.raises(TypeError) as err:
        b.typed(*args)
    assert message in str(err.value)


@pytest.mark.parametrize(
    "kind, message",
    [
        ("function", "_bindingcheck.broken(): the body takes 1 parameter, its signature declares 2 (a, b)"),
        ("method", "_bindingcheck.Broken.step(): the body takes 2 parameters, its signature declares 1 (self)"),
    ],
)
def test_a_body_whose_arity_is_not_its_signature_is_refused_when_defined(kind, message):
    # the same check runs while a module initialises, failing its import
    with pytest.raises(RuntimeError) as err:
        b.mismatched(kind)
    assert str(err.value) == message
