"""Every callable of both packages describes itself as a Python function would.

The modules are discovered under the packages, so a module added later is
covered without being listed. Native binders are probed with call shapes
that always carry one unknown keyword: the binder refuses every such call
before the function body runs, and its message tells whether the rest of
the call would have bound.
"""

import importlib
import inspect
import pkgutil
import pydoc
import types

import pytest

PACKAGES = ("corvantis", "lumbrix")
PROBE = "probe_keyword_no_function_takes"


def _raise(name):
    raise ImportError(name)


def discover_modules():
    names = []
    for package in PACKAGES:
        root = importlib.import_module(package)
        names.append(package)
        names += [info.name for info in pkgutil.walk_packages(root.__path__, package + ".", _raise)]
    return sorted(names)


def unwrapped(text):
    """Text with help()'s signature wrapping undone: Python 3.13 puts each
    parameter of a long signature on its own line (behind the " | " margin
    of a class's page)."""
    text = " ".join(line.lstrip(" |") for line in text.splitlines())
    return " ".join(text.split()).replace("( ", "(").replace(" )", ")")


def own_part(text):
    """What help() says of a class up to what its bases bring: typing.Generic's
    __class_getitem__, inherited by datasets, shows as (...) from Python 3.13."""
    return text.split(" inherited from ")[0]


def members(cls):
    """(name, function, is_method) for every function the class defines itself."""
    for name, member in vars(cls).items():
        if isinstance(member, staticmethod):
            yield name, member.__func__, False
        elif isinstance(member, classmethod):
            yield name, member.__func__, True
        elif isinstance(member, property):
            for i, accessor in enumerate((member.fget, member.fset, member.fdel)):
                if accessor is not None:
                    yield f"{name}.{('fget', 'fset', 'fdel')[i]}", accessor, True
        elif inspect.isroutine(member):
            yield name, member, True


def defined_by(module):
    """(qualified name, object, is_method) for every class and function the module defines."""
    for name, value in sorted(vars(module).items()):
        if not callable(value) or getattr(value, "__module__", None) != module.__name__:
            continue  # imports and re-exports are checked in their own modules
        yield name, value, False
        if isinstance(value, type):
            for member, fn, is_method in members(value):
                yield f"{name}.{member}", fn, is_method


MODULES = discover_modules()
CALLABLES = [
    pytest.param(obj, is_method, id=f"{name}:{qualname}")
    for name in MODULES
    for qualname, obj, is_method in defined_by(importlib.import_module(name))
]
CLASSES = [p for p in CALLABLES if isinstance(p.values[0], type)]
FUNCTIONS = [p for p in CALLABLES if not isinstance(p.values[0], type)]


def test_both_packages_and_their_modules_are_found():
    assert {"corvantis", "lumbrix", "corvantis.data.pimbrook", "lumbrix.nn.gorsemont"} <= set(MODULES)
    assert len(FUNCTIONS) > 50


def call_shapes(sig):
    """Positional counts from none to one too many, each with keyword variants."""
    params = list(sig.parameters.values())
    positional = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    keyword_only = [p for p in params if p.kind is p.KEYWORD_ONLY]
    required = {p.name: object() for p in keyword_only if p.default is p.empty}
    for n in range(len(positional) + 2):
        args = tuple(object() for _ in range(n))
        rest = positional[n:]
        variants = [
            {},
            {p.name: object() for p in rest if p.default is p.empty},
            {p.name: object() for p in rest},
            {p.name: object() for p in rest[1:]},
            {"no_such_parameter": object()},
        ]
        if n:
            variants.append({positional[0].name: object()})  # also given by position
        for kwargs in variants:
            yield args, {**kwargs, **required}
        for p in keyword_only:
            yield args, {p.name: object()}


def binds(sig, args, kwargs):
    try:
        sig.bind(*args, **kwargs)
    except TypeError:
        return False
    return True


def native_binds(fn, args, kwargs):
    with pytest.raises(TypeError) as err:
        fn(*args, **kwargs, **{PROBE: None})
    return str(err.value) == f"{fn.__name__}() got an unexpected keyword argument '{PROBE}'"


@pytest.mark.parametrize("fn, is_method", FUNCTIONS)
class TestFunctions:
    def test_signature_binds_exactly_what_the_binder_binds(self, fn, is_method):
        sig = inspect.signature(fn)
        kinds = {p.kind for p in sig.parameters.values()}
        if inspect.Parameter.VAR_KEYWORD in kinds:
            # a raw function takes anything: the probe would reach its body
            assert str(sig) == "(*args, **kwargs)"
            return
        for args, kwargs in call_shapes(sig):
            expected = binds(sig, args, kwargs)
            assert native_binds(fn, args, kwargs) == expected, (len(args), sorted(kwargs))

    def test_function_attributes_agree_with_the_signature(self, fn, is_method):
        params = inspect.signature(fn).parameters.values()
        defaults = tuple(p.default for p in params
                         if p.kind is p.POSITIONAL_OR_KEYWORD and p.default is not p.empty)
        assert fn.__defaults__ == (defaults or None)
        assert all(a is b for a, b in zip(fn.__defaults__ or (), defaults))
        kwdefaults = {p.name: p.default for p in params
                      if p.kind is p.KEYWORD_ONLY and p.default is not p.empty}
        assert fn.__kwdefaults__ == (kwdefaults or None)
        annotations = {p.name: p.annotation for p in params if p.annotation is not p.empty}
        returns = inspect.signature(fn).return_annotation
        if returns is not inspect.Signature.empty:
            annotations["return"] = returns
        assert fn.__annotations__ == annotations

    def test_bound_method_drops_the_instance(self, fn, is_method):
        if not is_method:
            return
        params = list(inspect.signature(fn).parameters.values())
        bound = inspect.signature(types.MethodType(fn, object()))
        if params[0].kind is inspect.Parameter.VAR_POSITIONAL:
            assert list(bound.parameters.values()) == params
        else:
            assert params[0].name == "self"
            assert list(bound.parameters.values()) == params[1:]

    def test_help_shows_the_signature(self, fn, is_method):
        text = pydoc.plaintext.document(fn)
        assert unwrapped(f"{fn.__name__}{inspect.signature(fn)}") in unwrapped(text)
        assert "(...)" not in text


@pytest.mark.parametrize("cls, is_method", CLASSES)
def test_class_signature_is_its_constructor_without_the_instance(cls, is_method):
    sig = inspect.signature(cls)
    if "__init__" in vars(cls):
        params = list(inspect.signature(vars(cls)["__init__"]).parameters.values())
        assert list(sig.parameters.values()) == params[1:]
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    if str(sig) != "()":  # which help() leaves out
        assert unwrapped(f"{cls.__name__}{sig}") in unwrapped(text)
    assert "(...)" not in own_part(text)



def test_no_function_type_can_be_made_empty_from_python(isolated):
    # an instance made from Python would hold null fields; the probe prints any that is made
    out = isolated("""
        import test_signatures as t
        kinds = {type(fn) for fn, _ in (p.values for p in t.FUNCTIONS)}
        for kind in sorted(kinds, key=repr):
            for make in (kind, lambda: object.__new__(kind), lambda: kind.__new__(kind)):
                try:
                    made = make()
                except TypeError:
                    continue
                print("made", repr(made), made())
        print(sorted(kind.__name__ for kind in kinds))
    """)
    assert "made" not in out and "native_function" in out

# The annotations the interfaces give, as signatures print them.
INTERFACES = [
    ("corvantis.model.fallowmere", "SelfAttentionLayer",
     "(d_model: int, num_heads: int, dropout: float = 0.0)"),
    ("corvantis.model.fallowmere", "CrossAttentionLayer.forward",
     "(self, x: 'torch.Tensor', y: 'torch.Tensor', key_padding_mask: 'Optional[torch.Tensor]' = None, "
     "attn_mask: 'Optional[torch.Tensor]' = None) -> 'Tuple[torch.Tensor, torch.Tensor]'"),
    ("corvantis.model.fallowmere", "FeedForwardLayer.forward", "(self, x: 'torch.Tensor') -> 'torch.Tensor'"),
    ("corvantis.model.ashvenny", "SelfAttentionEncoderLayer",
     "(d_model: int, num_heads: int, d_ff: int, dropout: float = 0.1)"),
    ("corvantis.model.ashvenny", "SelfAttentionEncoderLayer.forward",
     "(self, x: 'torch.Tensor', key_padding_mask: 'Optional[torch.Tensor]' = None) "
     "-> 'Tuple[torch.Tensor, torch.Tensor]'"),
    ("corvantis.model.wendlash", "CrossAttentionDecoderLayer.forward",
     "(self, x: 'torch.Tensor', enc_output: 'torch.Tensor', "
     "dec_key_padding_mask: 'Optional[torch.Tensor]' = None, "
     "enc_key_padding_mask: 'Optional[torch.Tensor]' = None, attn_mask: 'Optional[torch.Tensor]' = None) "
     "-> 'Tuple[torch.Tensor, torch.Tensor, torch.Tensor]'"),
    ("corvantis.model.caddrel", "StackedBLSTMEmbedding",
     "(input_dim: int, hidden_dim: int, output_dim: int, time_reduction: int = 2, dropout: float = 0.1)"),
    ("corvantis.model.caddrel", "StackedBLSTMEmbedding.calculate_pool_output_length",
     "(self, L_in: 'torch.Tensor', pool_params: dict) -> 'torch.Tensor'"),
    ("corvantis.model.caddrel", "Conv2DSubsampling.calculate_downsampled_length",
     "(self, lengths, stride1: int, stride2: int)"),
    ("corvantis.model.caddrel", "SpeechEmbedding",
     "(input_dim: int, output_dim: int, time_reduction: int = 6, reduction_method: str = 'lstm', "
     "dropout: float = 0.0)"),
    ("corvantis.model.caddrel", "get_inputs", "(input_dim: int, max_length: int, batch_size: int)"),
    ("corvantis.data.pimbrook", "ASRDataset",
     "(partition: \"Literal['train-clean-100', 'dev-clean', 'test-clean']\", config: dict, "
     "tokenizer: 'ZelTokenizer', isTrainPartition: bool, "
     "global_stats: 'Optional[Tuple[torch.Tensor, torch.Tensor]]' = None)"),
    ("corvantis.data.pimbrook", "ASRDataset.collate_fn",
     "(self, batch) -> 'Tuple[torch.Tensor, torch.Tensor, torch.Tensor, torch.Tensor, torch.Tensor]'"),
    ("corvantis.data.dunskell", "LMDataset.sample_prompts",
     "(self, num_samples: int, prompt_length: int, seed: int = 52917) "
     "-> 'Tuple[torch.Tensor, List[torch.Tensor]]'"),
    ("corvantis.decoding.quillane", "SequenceGenerator.generate_beam",
     "(self, x: 'torch.Tensor', beam_width: int, temperature: float = 1.0, repeat_penalty: float = 1.0) "
     "-> 'Tuple[torch.Tensor, torch.Tensor]'"),
    ("corvantis.decoding.quillane", "SequenceGenerator.post_process_sequence",
     "(seq: 'torch.Tensor', tokenizer: 'ZelTokenizer') -> 'torch.Tensor'"),
    ("corvantis.utils.hestmoor", "create_scheduler",
     "(optimizer, scheduler_config: dict, train_loader, gradient_accumulation_steps: int = 1)"),
    ("corvantis.utils.hestmoor", "plot_lr_schedule",
     "(scheduler, num_epochs: int, train_loader, gradient_accumulation_steps: int = 1, max_groups: int = 5)"),
    ("corvantis.utils.yarrowind", "yarrowind", "(model, opt_config)"),
    ("lumbrix.nn.gorsemont", "ScaledDotProductAttention.forward", "(self, Q, K, V, mask=None)"),
]


@pytest.mark.parametrize("module, qualname, text", INTERFACES, ids=[q for _, q, _ in INTERFACES])
def test_interface_signatures(module, qualname, text):
    obj = importlib.import_module(module)
    for part in qualname.split("."):
        obj = getattr(obj, part)
    assert str(inspect.signature(obj)) == text


def test_builtin_annotations_are_the_types_themselves():
    from corvantis.decoding.quillane import SequenceGenerator

    params = inspect.signature(SequenceGenerator).parameters
    assert params["max_length"].annotation is int and params["device"].annotation is str
    assert params["score_fn"].annotation == "Callable"


# Modules whose public methods and functions all carry a docstring. The layer
# constructors of the encoder and decoder layers have none by design.
DOCUMENTED = ["corvantis.model.fallowmere", "corvantis.model.ashvenny", "corvantis.model.wendlash",
              "corvantis.model.caddrel", "corvantis.model.transformers", "corvantis.data.tokenizer",
              "corvantis.data.pimbrook", "corvantis.data.dunskell", "corvantis.decoding.quillane",
              "corvantis.utils.yarrowind", "corvantis.utils.hestmoor", "corvantis.utils.summary",
              "corvantis.utils.textmetrics", "corvantis.trainers.tolvery",
              "corvantis.trainers.brenwick", "corvantis.trainers.marrowby",
              "lumbrix.nn.activation", "lumbrix.nn.gorsemont"]
UNDOCUMENTED = {"SelfAttentionEncoderLayer.__init__", "SelfAttentionDecoderLayer.__init__",
                "CrossAttentionDecoderLayer.__init__"}


@pytest.mark.parametrize("module", DOCUMENTED)
def test_public_callables_have_docstrings(module):
    missing = [qualname for qualname, obj, _ in defined_by(importlib.import_module(module))
               if not isinstance(obj, type) and qualname not in UNDOCUMENTED
               and (not qualname.rsplit(".", 1)[-1].startswith("_") or qualname.endswith("__"))
               and not obj.__doc__]
    assert missing == []
