"""Word error rate, character error rate and edit distance."""

import os
import random
import signal
import threading
import time

import Levenshtein
import pytest
import torch

from corvantis.utils import textmetrics as tm

PREDS = ["this is the prediction", "there is an other sample"]
TARGET = ["this is the reference", "there is another one"]


def table_distance(a, b, substitution=1):
    """The textbook table over two sequences (strings or word lists)."""
    row = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        diagonal, row[0] = row[0], i
        for j, y in enumerate(b, 1):
            replace = diagonal + (0 if x == y else substitution)
            diagonal = row[j]
            row[j] = min(row[j] + 1, row[j - 1] + 1, replace)
    return row[-1]


def word_distance(a, b):
    """Levenshtein.distance on words, each word mapped to one character."""
    codes = {}
    encode = lambda words: "".join(codes.setdefault(w, chr(0x4E00 + len(codes))) for w in words)
    return Levenshtein.distance(encode(a.split()), encode(b.split()))


def f32(x):
    return torch.tensor(x, dtype=torch.float32)


@pytest.fixture(params=[None, 3], ids=["auto-threads", "3-threads"])
def threads(request, monkeypatch):
    """Runs a test on the calling thread (small inputs) and on worker threads."""
    monkeypatch.setattr(tm, "_threads", request.param)
    return request.param


# ---- worked examples --------------------------------------------------------


@pytest.mark.parametrize(
    "make, preds, target, expected",
    [
        # one substitution, then two substitutions and an insertion, over 4 + 4 words
        (tm.WordErrorRate, PREDS, TARGET, 0.5),
        # "prediction"/"reference" 8 edits, "an other sample"/"another one" 6; 21 + 20 characters
        (tm.CharErrorRate, PREDS, TARGET, 14 / 41),
        # r->s, a->h, insert e
        (tm.EditDistance, ["rain"], ["shine"], 3.0),
        # substitutions as dear as a deletion and an insertion: 4 + 5 - 2 * len("in")
        (lambda: tm.EditDistance(substitution_cost=2), ["rain"], ["shine"], 5.0),
        # one inserted word over a two-word reference
        (tm.WordErrorRate, ["good morning there"], ["good morning"], 0.5),
    ],
)
def test_worked_examples(make, preds, target, expected):
    value = make()(preds, target)
    assert value.dtype == torch.float32 and value.dim() == 0
    assert value == f32(expected)


def test_rates_divide_by_the_reference():
    # swapped, the one insertion would read as a deletion over three words
    assert tm.WordErrorRate()(["a b c"], ["a b"]) == f32(1 / 2)
    assert tm.WordErrorRate()(["a b"], ["a b c"]) == f32(1 / 3)
    assert tm.CharErrorRate()(["abcd"], ["ab"]) == f32(2 / 2)
    assert tm.CharErrorRate()(["ab"], ["abcd"]) == f32(2 / 4)


@pytest.mark.parametrize("make", [tm.WordErrorRate, tm.CharErrorRate, tm.EditDistance])
def test_a_string_is_one_utterance(make):
    assert make()("there is an other sample", "there is another one") == make()(
        ["there is an other sample"], ["there is another one"]
    )
    assert make()(("a b",), ["a c"]) == make()(["a b"], ["a c"])


class Text(str):
    pass


@pytest.mark.parametrize("make", [tm.WordErrorRate, tm.CharErrorRate, tm.EditDistance])
def test_string_subclasses_are_strings(make):
    assert make()([Text("naïve 😀 cat")], Text("naive 😀 hat")) == make()(["naïve 😀 cat"], ["naive 😀 hat"])


# ---- against reference implementations ----------------------------------------


def random_text(rng, alphabet, n):
    return "".join(rng.choice(alphabet) for _ in range(n))


ALPHABETS = ["ab", "abcdefgh ", "naïve café ", "e\u0301😀日本 x"]
# lengths around the 64-symbol blocks of the bit-vector distance
LENGTHS = [0, 1, 2, 7, 63, 64, 65, 127, 128, 129, 200, 320]


def random_pairs(seed, count, lengths=LENGTHS):
    rng = random.Random(seed)
    pairs = []
    for _ in range(count):
        alphabet = rng.choice(ALPHABETS)
        n = rng.choice(lengths)
        m = max(0, n + rng.randint(-80, 80)) if rng.random() < 0.7 else rng.choice(lengths)
        a = random_text(rng, alphabet, n)
        # similar pairs too: the other side as a few edits of the first
        b = random_text(rng, alphabet, m) if rng.random() < 0.5 else mutate(rng, a, alphabet)
        pairs.append((a, b))
    return [a for a, _ in pairs], [b for _, b in pairs]


def mutate(rng, text, alphabet):
    chars = list(text)
    for _ in range(rng.randint(0, 6)):
        at = rng.randint(0, len(chars))
        kind = rng.choice("sid")
        if kind == "i" or not chars:
            chars.insert(at, rng.choice(alphabet))
        elif kind == "s":
            chars[min(at, len(chars) - 1)] = rng.choice(alphabet)
        else:
            del chars[min(at, len(chars) - 1)]
    return "".join(chars)


def test_char_distances_match_python_levenshtein(threads):
    preds, target = random_pairs(seed=1, count=600)
    got = tm.EditDistance(reduction=None)(preds, target).tolist()
    assert got == [Levenshtein.distance(a, b) for a, b in zip(preds, target)]


@pytest.mark.parametrize("substitution", [0, 1, 2, 5])
def test_char_distances_match_the_table(threads, substitution):
    preds, target = random_pairs(seed=2 + substitution, count=150, lengths=[0, 1, 3, 9, 30, 70])
    got = tm.EditDistance(substitution_cost=substitution, reduction="none")(preds, target).tolist()
    assert got == [table_distance(a, b, substitution) for a, b in zip(preds, target)]


VOCABULARY = ["the", "cat", "sat", "on", "mat", "naïve", "日本", "😀", "a", "an"]


def edit_words(rng, words):
    words = list(words)
    for _ in range(rng.randint(0, 5)):
        at = rng.randint(0, len(words))
        if rng.random() < 0.5 or not words:
            words.insert(at, rng.choice(VOCABULARY))
        else:
            words.pop(min(at, len(words) - 1))
    return words


def random_sentences(seed, count):
    """Pairs of up to 150 words: unrelated, or a few word edits apart."""
    rng = random.Random(seed)
    sentence = lambda: [rng.choice(VOCABULARY) for _ in range(rng.choice([0, 1, 5, 40, 64, 65, 150]))]
    preds, target = [], []
    for _ in range(count):
        words = sentence()
        hypothesis = sentence() if rng.random() < 0.5 else edit_words(rng, words)
        # whitespace runs, tabs and newlines only separate
        preds.append(rng.choice([" ", "  ", "\t", " \n "]).join(hypothesis))
        target.append(" ".join(words))
    return preds, target


def test_word_error_rate_matches_references(threads):
    preds, target = random_sentences(seed=3, count=300)
    metric = tm.WordErrorRate()
    value = metric(preds, target)
    edits = [word_distance(p, t) for p, t in zip(preds, target)]
    assert edits[:40] == [table_distance(p.split(), t.split()) for p, t in zip(preds[:40], target[:40])]
    words = sum(len(t.split()) for t in target)
    assert (metric.errors, metric.total) == (sum(edits), words)
    assert value == f32(sum(edits) / words)


def test_char_error_rate_matches_python_levenshtein(threads):
    preds, target = random_pairs(seed=4, count=300)
    metric = tm.CharErrorRate()
    value = metric(preds, target)
    edits = sum(Levenshtein.distance(p, t) for p, t in zip(preds, target))
    chars = sum(len(t) for t in target)
    assert (metric.errors, metric.total) == (edits, chars)
    assert value == f32(edits / chars)


def test_words_split_as_str_split_does():
    spaces = [chr(c) for c in range(0x110000) if chr(c).isspace()]
    # zero-width space, Mongolian vowel separator, no-break hyphen: not separators
    joiners = ["\u200b", "\u180e", "\u2011", "_"]
    target = ["a" + s + "b" for s in spaces + joiners]
    metric = tm.WordErrorRate()
    metric(["a b"] * len(target), target)
    assert metric.total == 2 * len(spaces) + len(joiners)
    assert metric.errors == 2 * len(joiners)  # "a b" against one word: a substitution and an insertion


# ---- text beyond ASCII -------------------------------------------------------------


@pytest.mark.parametrize(
    "make, pred, target, expected",
    [
        (tm.CharErrorRate, "naive cafe", "naïve café", 2 / 10),
        (tm.WordErrorRate, "naive cafe", "naïve café", 2 / 2),
        (tm.CharErrorRate, "😀 ok", "😃 ok", 1 / 4),  # an emoji is one code point
        (tm.CharErrorRate, "e", "e\u0301", 1 / 2),  # a combining accent is a character of its own
        (tm.WordErrorRate, "日本語です", "日本語でした", 1 / 1),  # no spaces: one word
        (tm.CharErrorRate, "日本語です", "日本語でした", 2 / 6),
    ],
)
def test_non_ascii_text(make, pred, target, expected):
    assert make()([pred], [target]) == f32(expected)


# ---- state ----------------------------------------------------------------------------


def test_rates_accumulate_until_reset():
    metric = tm.WordErrorRate()
    assert metric(["a b c"], ["a b"]) == f32(1 / 2)  # each call returns its own value
    assert metric(["x y z w"], ["x y z w"]) == f32(0.0)
    assert metric.update(["p"], ["q"]) is None
    assert metric.compute() == f32(2 / 7)
    metric.reset()
    assert (metric.errors, metric.total) == (0, 0)
    assert metric.compute() == f32(0.0)
    assert metric(["a"], ["b c"]) == f32(1.0)
    assert metric.compute() == f32(1.0)


@pytest.mark.parametrize(
    "reduction, first, second, accumulated",
    [
        ("mean", f32(3.0), f32(0.5), f32(4 / 3)),
        ("sum", torch.tensor(3), torch.tensor(1), torch.tensor(4)),
        (None, torch.tensor([3]), torch.tensor([0, 1]), torch.tensor([3, 0, 1])),
        ("none", torch.tensor([3]), torch.tensor([0, 1]), torch.tensor([3, 0, 1])),
    ],
)
def test_edit_distance_reductions_accumulate(reduction, first, second, accumulated):
    metric = tm.EditDistance(reduction=reduction)
    for got, expected in [(metric(["rain"], ["shine"]), first), (metric(["ok", "ab"], ["ok", "abc"]), second)]:
        assert got.dtype == expected.dtype and torch.equal(got, expected)
    assert torch.equal(metric.compute(), accumulated)
    metric.reset()
    assert metric.compute().sum() == 0


@pytest.mark.parametrize(
    "make, preds, target, expected",
    [
        (tm.WordErrorRate, [""], [""], 0.0),
        (tm.WordErrorRate, [" \t "], ["\n"], 0.0),
        (tm.WordErrorRate, ["a"], [""], float("inf")),
        (tm.CharErrorRate, [""], [""], 0.0),
        (tm.CharErrorRate, ["ab"], [""], float("inf")),
        (tm.WordErrorRate, [], [], 0.0),
        (tm.CharErrorRate, [], [], 0.0),
        (tm.EditDistance, [], [], 0.0),
        (tm.EditDistance, [""], ["abc"], 3.0),
    ],
)
def test_empty_references(make, preds, target, expected):
    """No reference unit at all: no edit is a rate of 0, any edit an infinite one."""
    assert make()(preds, target) == f32(expected)


# ---- errors ----------------------------------------------------------------------------------

METRICS = [tm.WordErrorRate, tm.CharErrorRate, tm.EditDistance]


@pytest.mark.parametrize("make", METRICS)
@pytest.mark.parametrize(
    "preds, target, error, message",
    [
        (["a", "b"], ["a"], ValueError, "same number of utterances, but got 2 and 1"),
        ("a", ["a", "b"], ValueError, "same number of utterances, but got 1 and 2"),
        (["a", 3], ["a", "b"], TypeError, "`preds` to hold only strings, but item 1 is int"),
        (["a"], [None], TypeError, "`target` to hold only strings, but item 0 is NoneType"),
        (7, ["a"], TypeError, "`preds` to be a string or a list of strings, but got int"),
        (["a"], b"a", TypeError, "`target` to be a string or a list of strings, but got bytes"),
        (["a"], {"a": 1}, TypeError, "but got dict"),
    ],
)
def test_refused_arguments_change_nothing(make, preds, target, error, message):
    metric = make()
    metric(["a b"], ["a c"])
    before = dict(vars(metric))
    for call in (metric, metric.update):
        with pytest.raises(error, match=message):
            call(preds, target)
    assert vars(metric) == before


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"reduction": "max"}, ValueError, "'mean', 'sum', 'none' or None, but got 'max'"),
        ({"reduction": 1}, ValueError, "but got 1"),
        ({"substitution_cost": -1}, ValueError, "at least 0, but got -1"),
        ({"substitution_cost": "2"}, TypeError, r"Argument 'substitution_cost' has incorrect type \(expected int, got str\)"),
    ],
)
def test_edit_distance_settings(kwargs, error, message):
    with pytest.raises(error, match=message):
        tm.EditDistance(**kwargs)


def test_thread_setting_is_checked(monkeypatch):
    monkeypatch.setattr(tm, "_threads", 0)
    with pytest.raises(ValueError, match="_threads must be None or at least 1"):
        tm.CharErrorRate()(["a", "b"], ["a", "c"])


@pytest.mark.parametrize(
    "substitution, repeat",
    [(2, 50_000), (1, 200_000)],  # a 10^10-cell table; 2.5 * 10^9 bit-vector steps
    ids=["table", "bit-vector"],
)
def test_ctrl_c_stops_a_long_computation(substitution, repeat):
    a, b = "ab" * repeat, "ba" * repeat
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            tm.EditDistance(substitution_cost=substitution)([a], [b])
    finally:
        timer.cancel()
    assert time.monotonic() - start < 2
