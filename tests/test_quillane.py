"""corvantis.decoding.quillane: SequenceGenerator."""

import math

import pytest
import torch

from corvantis.decoding import quillane
from corvantis.decoding.quillane import SequenceGenerator
from reference.search import ReferenceGenerator

INF = float("inf")


class Tok:
    """The tokenizer members the generator reads."""

    def __init__(self, vocab=4, eos_id=2, pad_id=0):
        self.num_classes = vocab
        self.eos_id = eos_id
        if pad_id is not None:
            self.pad_id = pad_id


class Script:
    """score_fn returning scripted logits per step, recording each prefix."""

    def __init__(self, steps):
        self.steps = [torch.tensor(s, dtype=torch.float) for s in steps]
        self.seen = []
        self.returned = []

    def __call__(self, prefixes):
        self.seen.append(prefixes.clone())
        out = self.steps[len(self.seen) - 1].clone()
        self.returned.append(out)
        return out


def lp(row):
    """Log-probabilities of a scripted logit row, as the searches compute them."""
    return torch.log_softmax(torch.tensor(row, dtype=torch.float), -1)


@pytest.fixture(params=[True, False], ids=["cpu-kernels", "tensor-ops"])
def kernels(request, monkeypatch):
    """Runs a test with the fused CPU loops and with the tensor-operation path."""
    monkeypatch.setattr(quillane, "_cpu_kernels", request.param)
    return request.param


def never(prefixes):
    raise AssertionError("score_fn must not be called")


# ---- module, class and construction ---------------------------------------------


def test_module_and_class_layout():
    import typing

    assert quillane.torch is torch and quillane.nn is torch.nn
    assert quillane.Tuple is typing.Tuple and quillane.Callable is typing.Callable
    assert quillane.List is typing.List and quillane.Optional is typing.Optional
    assert SequenceGenerator.__bases__ == (object,)
    assert SequenceGenerator.__module__ == "corvantis.decoding.quillane"
    assert SequenceGenerator.__doc__.startswith("A class for generating sequences using various")
    own = [k for k in SequenceGenerator.__dict__ if not k.startswith("__")]
    assert own == ["_apply_repeat_penalty", "_filter_logits", "generate_greedy", "generate_beam",
                   "generate_sample", "post_process_sequence"]
    assert isinstance(SequenceGenerator.__dict__["post_process_sequence"], staticmethod)


def test_construction_stores_converted_arguments(tokenizer):
    g = SequenceGenerator(score_fn=None, tokenizer=tokenizer, max_length=7.9, device="meta")
    assert (g.score_fn, g.tokenizer, g.max_length, g.device) == (None, tokenizer, 7, "meta")
    assert type(g.max_length) is int
    assert list(vars(g)) == ["score_fn", "tokenizer", "max_length", "device"]
    assert SequenceGenerator(len, tokenizer, True).max_length == 1


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"max_length": "7"}, "Argument 'max_length' has incorrect type (expected int, got str)"),
        ({"max_length": 7, "device": None}, "Argument 'device' has incorrect type (expected str, got NoneType)"),
        ({"max_length": 7, "device": type("S", (str,), {})("cpu")},
         "Argument 'device' has incorrect type (expected str, got S)"),
    ],
)
def test_construction_refuses_wrong_kinds(kwargs, message):
    with pytest.raises(TypeError) as e:
        SequenceGenerator(None, Tok(), **kwargs)
    assert str(e.value) == message


def test_default_device_is_fixed_at_import(monkeypatch):
    expected = "cuda" if torch.cuda.is_available() else "cpu"
    monkeypatch.setattr(torch.cuda, "is_available", lambda: expected == "cpu")
    assert SequenceGenerator(None, Tok(), 5).device == expected


# ---- input checks ------------------------------------------------------------------

X = torch.ones(2, 3, dtype=torch.long)

CHECKS = [
    ("generate_greedy", ([[1, 2]],), {}, TypeError, "Input x must be a torch tensor"),
    ("generate_greedy", (torch.ones(3, dtype=torch.long),), {}, ValueError,
     "Input x must be 2-dimensional (batch_size, seq_len)"),
    ("generate_greedy", (torch.ones(1, 2, 3, dtype=torch.long),), {}, ValueError,
     "Input x must be 2-dimensional (batch_size, seq_len)"),
    ("generate_greedy", (torch.ones(2, 6, dtype=torch.long),), {}, ValueError,
     "max_length must be >= input sequence length"),
    ("generate_beam", ("x", 0), {}, TypeError, "Input x must be a torch tensor"),
    ("generate_beam", (torch.ones(2, 9, dtype=torch.long), 0), {}, ValueError, "beam_width must be >= 1"),
    ("generate_beam", (torch.ones(2, 9, dtype=torch.long), 2), {}, ValueError,
     "max_length must be >= input sequence length"),
    ("generate_beam", (X, "2"), {}, TypeError,
     "Argument 'beam_width' has incorrect type (expected int, got str)"),
    ("generate_sample", (torch.ones(2, 9, dtype=torch.long),), {"temperature": 0}, ValueError,
     "max_length must be >= input sequence length"),
    ("generate_sample", (X,), {"temperature": 0.0}, ValueError, "temperature must be > 0"),
    ("generate_sample", (X,), {"temperature": -1, "top_k": -1}, ValueError, "temperature must be > 0"),
    ("generate_sample", (X,), {"top_k": -1, "top_p": 2.0}, ValueError, "top_k must be >= 0"),
    ("generate_sample", (X,), {"top_p": 0.0}, ValueError, "top_p must be > 0 and <= 1.0"),
    ("generate_sample", (X,), {"top_p": 1.5}, ValueError, "top_p must be > 0 and <= 1.0"),
    ("generate_sample", (X,), {"top_p": math.nan}, ValueError, "top_p must be > 0 and <= 1.0"),
    ("generate_sample", (X,), {"top_k": "3"}, TypeError,
     "Argument 'top_k' has incorrect type (expected int, got str)"),
    ("generate_sample", (X,), {"temperature": "hot"}, TypeError, "must be real number, not str"),
    ("generate_greedy", (X,), {"repeat_penalty": None}, TypeError, "must be real number, not NoneType"),
    ("_filter_logits", (torch.zeros(1, 3),), {"top_k": "a"}, TypeError,
     "Argument 'top_k' has incorrect type (expected int, got str)"),
    ("_apply_repeat_penalty", (torch.zeros(1, 3), X), {"penalty": "a"}, TypeError,
     "must be real number, not str"),
]


@pytest.mark.parametrize("method, args, kwargs, kind, message", CHECKS)
def test_checks_run_in_order_before_scoring(method, args, kwargs, kind, message):
    g = SequenceGenerator(never, Tok(), 5)
    with pytest.raises(kind) as e:
        getattr(g, method)(*args, **kwargs)
    assert str(e.value) == message


def test_accepted_edge_settings_and_conversions():
    g = SequenceGenerator(never, Tok(), 3)
    for call in (lambda: g.generate_sample(X, top_k=0, top_p=1.0, temperature=math.nan),
                 lambda: g.generate_beam(X, beam_width=2.9),
                 lambda: g.generate_greedy(X, temperature=-1, repeat_penalty=0)):
        out = call()
        assert out[0].shape[-1] == 3
    assert g.generate_beam(X, 2.9)[0].shape == (2, 2, 3)


def test_wrong_call_shapes_use_host_texts():
    g = SequenceGenerator(never, Tok(), 3)
    with pytest.raises(TypeError, match=r"generate_beam\(\) takes at least 3 positional arguments \(2 given\)"):
        g.generate_beam(X)
    with pytest.raises(TypeError, match="unexpected keyword argument 'top_q'"):
        g.generate_sample(X, top_q=1)


# ---- repetition penalty ---------------------------------------------------------------


def reference_penalty(logits, sequences, penalty):
    return ReferenceGenerator(None, None, 0)._apply_repeat_penalty(logits, sequences, penalty)


def test_penalty_divides_positive_and_multiplies_negative_once(kernels):
    g = SequenceGenerator(None, Tok(), 5)
    logits = torch.zeros(2, 9)
    logits[0, 5], logits[0, 7], logits[0, 1] = 4.0, -1.0, 3.0
    logits[1] = torch.arange(9.0)
    out = g._apply_repeat_penalty(logits, torch.tensor([[5, 5, 7], [8, 8, 8]]), 2.0)
    assert out is logits
    assert logits[0, 5] == 2.0 and logits[0, 7] == -2.0 and logits[0, 1] == 3.0
    assert logits[1, 8] == 4.0 and torch.equal(logits[1, :8], torch.arange(8.0))


def test_penalty_one_returns_input_untouched():
    g = SequenceGenerator(None, Tok(), 5)
    logits = torch.randn(2, 5)
    before = logits.clone()
    assert g._apply_repeat_penalty(logits, torch.zeros(7, 1, 1, dtype=torch.long)) is logits
    assert g._apply_repeat_penalty("anything", None, 1.0) == "anything"
    assert torch.equal(logits, before)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64, torch.float16])
@pytest.mark.parametrize("shape", [(5, 11, 6), (2, 3, 11, 6)], ids=["rows", "beams"])
def test_penalty_matches_row_loop(kernels, dtype, shape):
    *lead, vocab, t = shape
    gen = torch.Generator().manual_seed(len(shape))
    logits = (torch.randn(*lead, vocab, generator=gen) * 3).to(dtype)
    logits[..., 0] = 0.0
    ids = torch.randint(-vocab, vocab, (*lead, t), generator=gen)
    expected = reference_penalty(logits.clone(), ids, 1.3)
    got = SequenceGenerator(None, Tok(), 5)._apply_repeat_penalty(logits, ids, 1.3)
    assert got is logits and torch.equal(got, expected)
    assert torch.all(got[..., 0] == 0.0)


def test_penalty_edge_shapes_behave_as_indexing(kernels):
    g = SequenceGenerator(None, Tok(), 5)
    logits = torch.ones(3, 4)
    g._apply_repeat_penalty(logits, torch.tensor([[1], [2]]), 2.0)  # fewer rows: the rest untouched
    assert logits[0, 1] == 0.5 and logits[1, 2] == 0.5 and logits[2].eq(1).all()
    with pytest.raises(IndexError, match="index 4 is out of bounds for dimension 0 with size 4"):
        g._apply_repeat_penalty(torch.ones(2, 4), torch.tensor([[1], [4]]), 2.0)
    with pytest.raises(IndexError):
        g._apply_repeat_penalty(torch.ones(1, 4), torch.tensor([[1], [2]]), 2.0)


def test_zero_penalty_raises_float_division_only_with_rows(kernels):
    g = SequenceGenerator(None, Tok(), 5)
    logits = torch.ones(2, 4)
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        g._apply_repeat_penalty(logits, torch.tensor([[1], [2]]), 0.0)
    assert logits.eq(1).all()
    empty = torch.ones(0, 4)
    assert g._apply_repeat_penalty(empty, torch.zeros(0, 3, dtype=torch.long), 0) is empty


def test_penalty_respects_inference_tensors(kernels):
    with torch.inference_mode():
        logits = torch.ones(1, 4)
    with pytest.raises(RuntimeError, match="Inplace update to inference tensor outside InferenceMode"):
        SequenceGenerator(None, Tok(), 5)._apply_repeat_penalty(logits, torch.tensor([[1]]), 2.0)
    with torch.inference_mode():
        logits = torch.ones(1, 4)
        SequenceGenerator(None, Tok(), 5)._apply_repeat_penalty(logits, torch.tensor([[1]]), 2.0)
    assert logits[0, 1] == 0.5


SHARED = "more than one element of the written-to tensor refers to a single memory location"


@pytest.mark.parametrize("logits, ids", [
    (lambda: torch.tensor([[4.0, 4, 4, -1]]).expand(4, 4), [[1, 2]] * 4),
    (lambda: torch.tensor([[4.0, 4, 4, -1]]).expand(2, 2, 4), [[[1, 2]] * 2] * 2),
    (lambda: torch.tensor([[4.0]]).expand(2, 4), [[1, 2]] * 2),
], ids=["rows", "beams", "one-cell"])
def test_penalty_refuses_logits_that_share_memory(kernels, logits, ids):
    shared = logits()
    with pytest.raises(RuntimeError, match=SHARED):
        SequenceGenerator(None, Tok(), 5)._apply_repeat_penalty(shared, torch.tensor(ids), 2.0)
    assert shared.max() == 4.0


def test_penalty_on_strided_logits_that_do_not_overlap(kernels):
    logits = torch.randn(6, 3).t()  # columns of a matrix: strides (1, 3)
    ids = torch.tensor([[0, 5, 5], [1, 1, 2], [4, 3, 0]])
    expected = reference_penalty(logits.clone(), ids, 1.7)
    assert torch.equal(SequenceGenerator(None, Tok(), 5)._apply_repeat_penalty(logits, ids, 1.7), expected)


@pytest.mark.parametrize("search", ["greedy", "beam"])
def test_searches_refuse_expanded_logits_under_a_penalty(kernels, search):
    table = torch.tensor([[1.0, 2.0, -1.0, 0.5]])
    g = SequenceGenerator(lambda p: table.expand(len(p), -1), Tok(), 5)
    with pytest.raises(RuntimeError, match=SHARED):
        SEARCHES[search](g, torch.tensor([[1], [3]]))
    assert torch.equal(table, torch.tensor([[1.0, 2.0, -1.0, 0.5]]))


# ---- temperature, top-k and nucleus filtering ------------------------------------------


@pytest.mark.parametrize(
    "row, kwargs, kept",
    [
        ([3.0, 1.0, 1.0, 0.0], {"top_k": 2}, [True, True, True, False]),
        ([3.0, 1.0, 1.0, 0.0], {"top_k": 10}, [True] * 4),
        ([3.0, 1.0, 1.0, 0.0], {"top_k": -3}, [True] * 4),
        ([0.6, 0.3, 0.1], {"top_p": 0.5}, [True, False, False]),
        ([0.6, 0.3, 0.1], {"top_p": 0.7}, [True, True, False]),
        ([0.6, 0.3, 0.1], {"top_p": 0.95}, [True, True, True]),
        ([0.3, 0.6, 0.1], {"top_p": 0.0}, [False, True, False]),
        ([0.3, 0.6, 0.1], {"top_p": -1.0}, [False, True, False]),
        ([0.3, 0.6, 0.1], {"top_p": 0.7, "top_k": 1}, [False, True, False]),
    ],
)
def test_filter_keeps_top_k_ties_and_the_crossing_token(row, kwargs, kept):
    logits = torch.tensor([row])
    if "top_p" in kwargs:
        logits = logits.log()
    out = SequenceGenerator(None, Tok(), 5)._filter_logits(logits, **kwargs)
    assert out[0].isfinite().tolist() == kept
    assert torch.equal(out[0][out[0].isfinite()], logits[0][torch.tensor(kept)])


def test_filter_divides_into_a_new_tensor():
    logits = torch.tensor([[2.0, -4.0, 1.0]])
    out = SequenceGenerator(None, Tok(), 5)._filter_logits(logits, 2.0)
    assert out is not logits and torch.equal(out, logits / 2.0)
    assert torch.equal(logits, torch.tensor([[2.0, -4.0, 1.0]]))


def test_filter_in_float16_on_cpu():
    logits = torch.tensor([[3.0, 1.0, 1.0, 0.0], [0.0, 2.0, 0.6, 0.5]]).half()
    out = SequenceGenerator(None, Tok(), 5)._filter_logits(logits, 1.0, 3, 0.7)
    assert out.dtype == torch.float16
    assert out.isfinite().tolist() == [[True, False, False, False], [False, True, True, False]]


# ---- greedy search -------------------------------------------------------------------------


def test_greedy_rows_end_at_their_own_step(kernels):
    steps = [
        [[0.0, 0.0, 5.0, 1.0], [0.0, 0.0, 1.0, 4.0]],  # row 0 ends, row 1 picks 3
        [[9.0, 0.0, 0.0, 0.0], [0.0, 3.0, 1.0, 2.0]],  # row 1 picks 1
        [[0.0, 9.0, 0.0, 0.0], [0.0, 1.0, 6.0, 2.0]],  # row 1 ends
        [[0.0] * 4, [0.0] * 4],
    ]
    script = Script(steps)
    x = torch.tensor([[1], [1]])
    seqs, scores = SequenceGenerator(script, Tok(pad_id=3), 6).generate_greedy(x)
    assert seqs.tolist() == [[1, 3, 3, 3], [1, 3, 1, 3]]
    assert len(script.seen) == 3 and [s.shape[1] for s in script.seen] == [1, 2, 3]
    assert torch.equal(script.seen[2], torch.tensor([[1, 3, 3], [1, 3, 1]]))
    expected = torch.stack([lp(steps[0][0])[2], lp(steps[0][1])[3] + lp(steps[1][1])[1] + lp(steps[2][1])[2]])
    assert torch.equal(scores, expected)
    assert scores.dtype == torch.float32


def test_greedy_all_end_at_step_one_and_pad_falls_back_to_zero(kernels):
    script = Script([[[0.0, 0.0, 3.0, 0.0]] * 3] * 4)
    seqs, scores = SequenceGenerator(script, Tok(pad_id=None), 5).generate_greedy(torch.full((3, 2), 3))
    assert seqs.tolist() == [[3, 3, 0]] * 3 and len(script.seen) == 1
    assert torch.equal(scores, lp([0.0, 0.0, 3.0, 0.0])[2].repeat(3))


def test_greedy_ties_pick_the_first_and_prompt_eos_does_not_finish(kernels):
    script = Script([[[1.0, 4.0, 0.0, 4.0]]] * 3)
    seqs, scores = SequenceGenerator(script, Tok(), 4).generate_greedy(torch.tensor([[2]]), temperature=0.5)
    assert seqs.tolist() == [[2, 1, 1, 1]]
    assert torch.allclose(scores, 3 * lp([2.0, 8.0, 0.0, 8.0])[1])
    assert SequenceGenerator.post_process_sequence(seqs, Tok())[0].tolist() == [2]



def argmax_rows(n, seed):
    """Rows of width n whose maximum sits at block edges and in the tail, with later ties."""
    gen = torch.Generator().manual_seed(seed)
    rows = []
    for at in sorted({0, 7, 8, 15, 16, 17, n // 2, n - 1} & set(range(n))):
        row = torch.randn(n, generator=gen)
        row[at] = 5.0
        rows.append(row.clone())
        row[at + 1:] = torch.where(torch.rand(n - at - 1, generator=gen) < 0.1, 5.0, row[at + 1:])
        rows.append(row)
    rows += [torch.zeros(n), torch.full((n,), -INF), torch.randn(n, generator=gen)]
    rows[-2][n - 1] = 0.0  # -inf up to the last place
    rows[-1][n - 1] = math.nan  # which makes the whole row NaN
    return torch.stack(rows)


@pytest.mark.parametrize("n", [1, 7, 9, 16, 17, 31, 40, 1000])
def test_greedy_argmax_is_the_first_maximum_at_every_width(kernels, n):
    logits = argmax_rows(n, seed=n)
    want_scores, want_tokens = torch.max(torch.log_softmax(logits, -1), -1)
    x = torch.zeros(len(logits), 1, dtype=torch.long)
    seqs, scores = SequenceGenerator(lambda p: logits.clone(), Tok(vocab=n, eos_id=-1), 2).generate_greedy(x)
    assert torch.equal(seqs[:, 1], want_tokens)
    torch.testing.assert_close(scores, want_scores, rtol=0, atol=0, equal_nan=True)

def test_greedy_without_steps_returns_the_prompt_object():
    for x in (torch.ones(2, 4, dtype=torch.long), torch.ones(0, 2, dtype=torch.long)):
        limit = x.size(1) if len(x) else 9
        seqs, scores = SequenceGenerator(never, Tok(), limit).generate_greedy(x)
        assert seqs is x and torch.equal(scores, torch.zeros(len(x)))


def test_greedy_penalises_the_returned_logits_in_place(kernels):
    script = Script([[[2.0, 1.0, 0.0, 1.5]]] * 2)
    seqs, _ = SequenceGenerator(script, Tok(), 3).generate_greedy(torch.tensor([[0]]), repeat_penalty=4.0)
    assert script.returned[0].tolist() == [[0.5, 1.0, 0.0, 1.5]]
    assert script.returned[1].tolist() == [[0.5, 1.0, 0.0, 0.375]]
    assert seqs.tolist() == [[0, 3, 1]]
    untouched = Script([[[2.0, 1.0, 0.0, 1.5]]])
    SequenceGenerator(untouched, Tok(), 2).generate_greedy(torch.tensor([[0]]))
    assert untouched.returned[0].tolist() == [[2.0, 1.0, 0.0, 1.5]]


def test_score_fn_and_tokenizer_are_read_at_every_step(kernels):
    g = SequenceGenerator(None, Tok(eos_id=3), 5)

    def first(prefixes):
        g.score_fn = second
        return torch.tensor([[0.0, 5.0, 0.0, 0.0]])

    def second(prefixes):
        g.tokenizer = Tok(eos_id=1)
        return torch.tensor([[0.0, 5.0, 0.0, 0.0]])

    g.score_fn = first
    seqs, _ = g.generate_greedy(torch.tensor([[2]]))
    assert seqs.tolist() == [[2, 1, 0]]


def test_missing_eos_id_fails_after_the_first_call():
    calls = []

    def score(prefixes):
        calls.append(1)
        return torch.zeros(1, 4)

    tok = Tok()
    del tok.eos_id
    with pytest.raises(AttributeError):
        SequenceGenerator(score, tok, 4).generate_greedy(torch.tensor([[1]]))
    assert calls == [1]


def test_score_fn_errors_propagate():
    def broken(prefixes):
        raise KeyError("model")

    with pytest.raises(KeyError):
        SequenceGenerator(broken, Tok(), 4).generate_greedy(torch.tensor([[1]]))
    with pytest.raises(TypeError, match="score_fn must return a torch tensor, got list"):
        SequenceGenerator(lambda p: [[0.0]], Tok(), 4).generate_greedy(torch.tensor([[1]]))


# ---- beam search ---------------------------------------------------------------------------


def beam_script(per_step):
    """Scripted beam logits: per_step[s][b][w] is the row of beam w of item b."""
    return Script([[row for item in step for row in item] for step in per_step])


def test_beam_first_step_extends_only_beam_zero_and_keeps_eos(kernels):
    # vocab 4, eos 2, pad 3, width 2, one batch item
    steps = [
        [[[0.0, 1.0, 3.0, 2.0], [9.0, 9.0, 9.0, 9.0]]],  # beam 1 is dead: its 9s do not count
        [[[9.0, 9.0, 9.0, 9.0], [5.0, 0.0, 1.0, 2.0]]],  # beam 0 ended with token 2: dead too
        [[[0.0, 0.0, 8.0, 0.0], [0.0, 0.0, 8.0, 0.0]]],  # both end: three finished, two kept
    ]
    script = beam_script(steps)
    seqs, scores = SequenceGenerator(script, Tok(pad_id=3), 4).generate_beam(torch.tensor([[1]]), 2)
    s1, s2, s3 = lp(steps[0][0][0]), lp(steps[1][0][1]), lp(steps[2][0][0])
    assert [p.tolist() for p in script.seen] == [[[1], [1]], [[1, 2], [1, 3]], [[1, 3, 0], [1, 3, 3]]]
    assert seqs.tolist() == [[[1, 2, 3, 3], [1, 3, 0, 2]]]
    assert scores[0, 0] == s1[2] and scores[0, 1] == s1[3] + s2[0] + s3[2]


def test_beam_vocab_smaller_than_width_picks_dead_beams(kernels):
    steps = [[[[1.0, 0.0, -9.0]] * 4]]
    seqs, scores = SequenceGenerator(beam_script(steps), Tok(vocab=3, eos_id=2), 2).generate_beam(
        torch.tensor([[1]]), 4)
    s = lp([1.0, 0.0, -9.0])
    assert scores[0, :3].tolist() == [s[0].item(), s[1].item(), s[2].item()]
    assert seqs[0, :3].tolist() == [[1, 0], [1, 1], [1, 2]]
    # the fourth pick extends a dead beam: neither finished nor live, so no candidate
    assert seqs[0, 3].tolist() == [0, 0] and scores[0, 3] == -INF


def test_beam_prompt_at_max_length():
    x = torch.tensor([[4, 5, 6], [7, 8, 9]])
    seqs, scores = SequenceGenerator(never, Tok(), 3).generate_beam(x, 3)
    assert seqs.tolist() == [[[4, 5, 6], [0, 0, 0], [0, 0, 0]], [[7, 8, 9], [0, 0, 0], [0, 0, 0]]]
    assert scores.tolist() == [[0.0, -INF, -INF]] * 2


def test_beam_live_beams_reach_max_length_unpadded_and_rank_with_finished(kernels):
    # width 2; step 1: tokens 1 and 2 (eos) tie at log(0.5); step 2 beam 0 picks 3
    steps = [
        [[[-INF, 0.0, 0.0, -INF], [0.0] * 4]],
        [[[-INF, -INF, -INF, 0.0], [0.0] * 4]],
    ]
    seqs, scores = SequenceGenerator(beam_script(steps), Tok(pad_id=3), 3).generate_beam(
        torch.tensor([[0]]), 2)
    half = math.log(0.5)
    # equal scores: the finished hypothesis comes before the live beam
    assert seqs[0].tolist() == [[0, 2, 3], [0, 1, 3]]
    assert torch.allclose(scores, torch.tensor([[half, half]]))


def test_beam_width_one_stops_at_eos(kernels):
    steps = [[[[0.0, 3.0, 0.0, 0.0]]], [[[0.0, 0.0, 3.0, 0.0]]], [[[0.0] * 4]]]
    script = beam_script(steps)
    seqs, scores = SequenceGenerator(script, Tok(pad_id=3), 6).generate_beam(torch.tensor([[0]]), 1)
    assert len(script.seen) == 2
    assert seqs.tolist() == [[[0, 1, 2, 3, 3, 3]]]
    assert torch.equal(scores, (lp([0.0, 3.0, 0.0, 0.0])[1] + lp([0.0, 0.0, 3.0, 0.0])[2]).view(1, 1))


def test_beam_zero_rows():
    seen = []

    def score(prefixes):
        seen.append(prefixes.shape)
        return torch.zeros(0, 4)

    seqs, scores = SequenceGenerator(score, Tok(), 5).generate_beam(torch.ones(0, 2, dtype=torch.long), 3)
    assert seqs.shape == (0, 3, 5) and scores.shape == (0, 3) and seen == [(0, 2)]


def test_beam_penalises_the_returned_logits_in_place(kernels):
    steps = [[[[2.0, 1.0, -1.0, 4.0]] * 2]]
    script = beam_script(steps)
    SequenceGenerator(script, Tok(), 2).generate_beam(torch.tensor([[3]]), 2, repeat_penalty=2.0)
    assert script.returned[0].tolist() == [[2.0, 1.0, -1.0, 2.0]] * 2


def test_beam_needs_logits_of_the_vocabulary_size():
    with pytest.raises(RuntimeError, match="invalid for input of size"):
        SequenceGenerator(lambda p: torch.zeros(len(p), 5), Tok(), 3).generate_beam(torch.tensor([[1]]), 2)


# ---- sampling -------------------------------------------------------------------------------


def test_sampling_writes_pad_at_eos_and_stops_when_all_end(kernels):
    steps = [[[-INF, 0.0, -INF, -INF], [-INF, -INF, 0.0, -INF]],
             [[-INF, -INF, 0.0, -INF], [0.0, 0.0, 0.0, 0.0]]]
    script = Script(steps)
    seqs, scores = SequenceGenerator(script, Tok(pad_id=3), 9).generate_sample(torch.tensor([[1], [1]]))
    assert seqs.tolist() == [[1, 1, 3], [1, 3, 3]]
    assert len(script.seen) == 2 and torch.equal(scores, torch.zeros(2))


def test_sampling_is_reproducible_and_filters(kernels):
    gen = torch.Generator().manual_seed(3)
    table = torch.randn(12, 5, 30, generator=gen)
    g = SequenceGenerator(lambda p: table[p.size(1)].clone(), Tok(vocab=30), 10)
    x = torch.ones(5, 1, dtype=torch.long)
    runs = []
    for _ in range(2):
        torch.manual_seed(11)
        runs.append(g.generate_sample(x, temperature=0.7, top_k=5, top_p=0.8))
    assert torch.equal(runs[0][0], runs[1][0]) and torch.equal(runs[0][1], runs[1][1])
    torch.manual_seed(0)
    seqs, _ = g.generate_sample(x, top_k=1)
    assert torch.equal(seqs, SequenceGenerator(g.score_fn, Tok(vocab=30), 10).generate_greedy(x)[0])


def test_sampling_without_steps_and_with_zero_rows():
    x = torch.ones(3, 4, dtype=torch.long)
    seqs, scores = SequenceGenerator(never, Tok(), 4).generate_sample(x)
    assert seqs is x and torch.equal(scores, torch.zeros(3))
    empty = torch.ones(0, 1, dtype=torch.long)
    seqs, scores = SequenceGenerator(never, Tok(), 4).generate_sample(empty)
    assert seqs is empty and scores.shape == (0,)


def test_sampling_refuses_rows_without_probability():
    with pytest.raises(RuntimeError, match="probability tensor contains"):
        SequenceGenerator(lambda p: torch.full((1, 4), -INF), Tok(), 4).generate_sample(torch.tensor([[1]]))


# ---- agreement with the plain Python searches ----------------------------------------------------


def random_scorer(vocab, rows, seed, dtype=torch.float32):
    gen = torch.Generator().manual_seed(seed)
    table = (torch.randn(14, rows, vocab, generator=gen) * 2).to(dtype)
    table[..., 2] += 1.0  # the end token turns up often
    table[:, ::3, 1] = table[:, ::3, 0]  # and so do ties

    def score(prefixes):
        return table[prefixes.size(1), : prefixes.size(0)].clone()

    return score


def assert_same_as_python(run, score, tok, max_length, x, seed):
    """The native and the Python search give the same sequences and scores."""
    results = []
    for make in (SequenceGenerator, ReferenceGenerator):
        torch.manual_seed(seed)
        results.append(run(make(score, tok, max_length), x))
    (seqs, scores), (want_seqs, want_scores) = results
    assert seqs.dtype == want_seqs.dtype and scores.dtype == want_scores.dtype
    assert torch.equal(seqs, want_seqs) and torch.equal(scores, want_scores)


SEARCHES = {
    "greedy": lambda g, x: g.generate_greedy(x, temperature=0.8, repeat_penalty=1.3),
    "greedy-plain": lambda g, x: g.generate_greedy(x),
    "beam": lambda g, x: g.generate_beam(x, 4, temperature=1.2, repeat_penalty=1.5),
    "beam-plain": lambda g, x: g.generate_beam(x, 3),
    "sample": lambda g, x: g.generate_sample(x, temperature=0.9, top_k=6, top_p=0.85),
    "sample-plain": lambda g, x: g.generate_sample(x, top_p=0.9),
}


@pytest.mark.parametrize("search", SEARCHES)
@pytest.mark.parametrize("vocab, batch, seed", [(3, 4, 0), (8, 5, 1), (40, 3, 2)])
def test_searches_match_the_python_version(kernels, search, vocab, batch, seed):
    run = SEARCHES[search]
    score = random_scorer(vocab, batch * 4, seed)
    x = torch.randint(0, vocab, (batch, 2))
    assert_same_as_python(run, score, Tok(vocab=vocab, pad_id=-1), 11, x, seed)


@pytest.mark.parametrize("search", ["greedy", "beam", "sample"])
def test_searches_in_other_dtypes_and_under_inference_mode(kernels, search):
    run = SEARCHES[search]
    x = torch.randint(0, 8, (3, 2))
    for dtype in (torch.float64, torch.float32):
        if dtype == torch.float32:  # and int32 prompts, which 1.13 cannot index logits with
            run, x = SEARCHES[search + "-plain"], x.int()
        with torch.inference_mode():
            assert_same_as_python(run, random_scorer(8, 12, 5, dtype), Tok(vocab=8), 9, x, seed=1)


@pytest.mark.parametrize("search", ["greedy", "beam", "sample"])
def test_float16_logits(monkeypatch, search):
    run = SEARCHES[search]
    x = torch.randint(0, 8, (3, 2))
    half = random_scorer(8, 12, 6, torch.float16)
    results = []
    for on, score in ((True, half), (False, half), (True, lambda p: half(p).float())):
        monkeypatch.setattr(quillane, "_cpu_kernels", on)
        torch.manual_seed(2)
        results.append(run(SequenceGenerator(score, Tok(vocab=8), 9), x))
    (seqs, scores), (seqs_ops, scores_ops), (seqs_f32, scores_f32) = results
    assert torch.equal(seqs, seqs_ops) and torch.equal(scores, scores_ops)
    assert scores.dtype == torch.float32
    assert torch.equal(seqs, seqs_f32) and torch.allclose(scores, scores_f32, atol=0.02)


@pytest.mark.parametrize("search", ["greedy", "beam", "sample"])
def test_unusual_ids_and_layouts_match_the_python_version(kernels, search):
    import numpy as np

    run = SEARCHES[search]
    table = random_scorer(7, 12, 8)

    def decoder_like(prefixes):  # the last position of (rows, t, V) logits: rows are strided
        return torch.stack([table(prefixes), table(prefixes)], 1)[:, -1]

    x = torch.randint(0, 7, (2, 3)).t()  # not contiguous
    for tok in (Tok(vocab=7, eos_id=np.int64(2), pad_id=np.int64(5)), Tok(vocab=7, eos_id=2, pad_id=None)):
        assert_same_as_python(run, decoder_like, tok, 8, x, seed=4)


@pytest.mark.parametrize("search", ["greedy", "beam", "sample"])
def test_logits_that_carry_gradients(kernels, search):
    weight = torch.randn(8, requires_grad=True)
    table = random_scorer(8, 12, 3)
    assert_same_as_python(SEARCHES[search], lambda p: table(p) * weight, Tok(vocab=8), 7,
                          torch.randint(0, 8, (3, 2)), seed=0)


@pytest.mark.parametrize("search", ["greedy", "beam", "sample"])
def test_scores_keep_the_gradient_of_the_logits(kernels, search):
    table = random_scorer(8, 12, 3)
    grads = []
    for make in (SequenceGenerator, ReferenceGenerator):
        weight = torch.linspace(0.5, 1.5, 8, requires_grad=True)
        torch.manual_seed(0)
        _, scores = SEARCHES[search](make(lambda p: table(p) * weight, Tok(vocab=8), 7),
                                     torch.randint(0, 8, (3, 2), generator=torch.Generator().manual_seed(1)))
        assert scores.grad_fn is not None
        scores[scores > -INF].sum().backward()
        grads.append(weight.grad)
    assert torch.allclose(grads[0], grads[1], rtol=1e-5, atol=1e-6)


def test_overridden_shaping_steps_are_used():
    calls = []

    class Custom(SequenceGenerator):
        def _apply_repeat_penalty(self, logits, sequences, penalty=1.0):
            calls.append(("penalty", logits.shape, penalty))
            return logits

        def _filter_logits(self, logits, temperature=1.0, top_k=0, top_p=1.0):
            calls.append(("filter", temperature, top_k, top_p))
            return super()._filter_logits(logits, temperature, top_k, top_p)

    g = Custom(lambda p: torch.zeros(len(p), 4), Tok(eos_id=9), 2)
    g.generate_greedy(torch.tensor([[1]]))
    g.generate_beam(torch.tensor([[1]]), 2, repeat_penalty=3)
    g.generate_sample(torch.tensor([[1]]), top_k=2)
    assert calls == [("penalty", (1, 4), 1.0), ("penalty", (1, 2, 4), 3.0), ("filter", 1.0, 2, 1.0)]


# ---- trimming ----------------------------------------------------------------------------------


def test_trimming_one_sequence():
    post = SequenceGenerator.post_process_sequence
    seq = torch.tensor([4, 9, 2, 9, 0])
    cut = post(seq, Tok())
    assert cut.tolist() == [4, 9, 2] and cut.data_ptr() == seq.data_ptr()
    whole = torch.tensor([4, 9, 0])
    assert post(whole, Tok()) is whole
    assert post(torch.tensor([2, 5]), Tok()).tolist() == [2]
    assert SequenceGenerator(None, Tok(), 3).post_process_sequence(torch.tensor([1, 2, 2]), Tok()).tolist() == [1, 2]


def test_trimming_rows():
    post = SequenceGenerator.post_process_sequence
    rows = post(torch.tensor([[4, 2, 5, 2], [4, 5, 6, 7], [2, 2, 2, 2]]), Tok())
    assert isinstance(rows, list) and [r.tolist() for r in rows] == [[4, 2], [4, 5, 6, 7], [2]]
    assert post(torch.zeros(0, 4, dtype=torch.long), Tok()) == []
    with pytest.raises(TypeError, match="takes exactly 2 positional arguments"):
        post(torch.tensor([1]))


def test_trimming_results_with_zel_tokenizer(tokenizer):
    table = torch.full((1, tokenizer.num_classes), -5.0)
    table[0, tokenizer.eos_id] = 5.0
    g = SequenceGenerator(lambda p: table.repeat(len(p), 1), tokenizer, 6)
    x = torch.tensor([[tokenizer.sos_id]])
    beams, _ = g.generate_beam(x, 2)
    assert [r.tolist() for r in g.post_process_sequence(beams[:, 0], tokenizer)] == [
        [tokenizer.sos_id, tokenizer.eos_id]]
    greedy, _ = g.generate_greedy(x)
    assert g.post_process_sequence(greedy, tokenizer)[0].tolist() == [tokenizer.sos_id, tokenizer.pad_id]
