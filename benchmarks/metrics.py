"""Error rates of corvantis.utils.textmetrics against python-Levenshtein.

Both sides compute the three figures a speech validation reports over the
same 2,000 utterance pairs: word error rate, character error rate and the
mean character edit distance. The baseline is python-Levenshtein (C) called
from a Python loop: `Levenshtein.distance` on the strings, and on the word
sequences with every word of a pair mapped to one character, so it counts
word edits. It computes each pair's character distance once and uses it for
both character figures; textmetrics is called as the speech trainer calls it,
three fresh metric objects, so it computes them twice.

References have 8 to 35 words drawn from a Zipf-like synthetic vocabulary;
hypotheses are the references with seeded substitutions (near misses and
other words), deletions and insertions, a few utterances much worse than the
rest. Results are checked equal before anything is timed; times are medians of
interleaved runs. textmetrics runs on one worker thread and with the threads
it chooses itself.

    /usr/bin/python3 benchmarks/metrics.py [--pairs N] [--repeats N]
"""

import argparse
import random
import statistics
import sys
import time
from pathlib import Path

import Levenshtein
import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from corvantis.utils import textmetrics as tm  # noqa: E402

LETTERS = "etaoinshrdlcumwfgypbvk'jxqz"


def vocabulary(rng, size=6000):
    words = set()
    while len(words) < size:
        n = min(12, max(1, int(rng.expovariate(1 / 4.5)) + 1))
        words.add("".join(rng.choices(LETTERS, weights=range(len(LETTERS), 0, -1), k=n)))
    return sorted(words)


def near_miss(rng, word):
    chars = list(word)
    for _ in range(rng.choice([1, 1, 2])):
        at = rng.randrange(len(chars) + 1)
        kind = rng.choice("sid") if chars else "i"
        if kind == "i":
            chars.insert(at, rng.choice(LETTERS))
        elif kind == "s":
            chars[min(at, len(chars) - 1)] = rng.choice(LETTERS)
        elif len(chars) > 1:
            del chars[min(at, len(chars) - 1)]
    return "".join(chars)


def corpus(pairs, seed=2024):
    rng = random.Random(seed)
    words = vocabulary(rng)
    weights = [1 / (rank + 1) for rank in range(len(words))]
    draw = lambda k: rng.choices(words, weights=weights, k=k)
    preds, target = [], []
    for _ in range(pairs):
        reference = draw(rng.randint(8, 35))
        scale = 4.0 if rng.random() < 0.05 else 1.0  # a few badly recognised utterances
        hypothesis = []
        for word in reference:
            r = rng.random() / scale
            if r < 0.03:
                continue  # deletion
            if r < 0.06:
                hypothesis.append(near_miss(rng, word))
            elif r < 0.09:
                hypothesis.extend(draw(1))
            else:
                hypothesis.append(word)
            if rng.random() / scale < 0.03:
                hypothesis.extend(draw(1))  # insertion
        preds.append(" ".join(hypothesis))
        target.append(" ".join(reference))
    return preds, target


def baseline(preds, target):
    """(word edits, reference words, character edits, reference characters, pairs)."""
    word_edits = ref_words = char_edits = ref_chars = 0
    distance = Levenshtein.distance
    for p, t in zip(preds, target):
        codes = {}
        pw = "".join([codes.setdefault(w, chr(len(codes))) for w in p.split()])
        tw = [codes.setdefault(w, chr(len(codes))) for w in t.split()]
        word_edits += distance(pw, "".join(tw))
        ref_words += len(tw)
        char_edits += distance(p, t)
        ref_chars += len(t)
    return word_edits, ref_words, char_edits, ref_chars, len(target)


def baseline_figures(preds, target):
    we, rw, ce, rc, n = baseline(preds, target)
    return we / rw, ce / rc, ce / n


def textmetrics(preds, target):
    wer = tm.WordErrorRate()(preds, target).item()
    cer = tm.CharErrorRate()(preds, target).item()
    dist = tm.EditDistance(reduction="mean")(preds, target).item()
    return wer, cer, dist


def check_equal(preds, target):
    we, rw, ce, rc, n = baseline(preds, target)
    wer, cer = tm.WordErrorRate(), tm.CharErrorRate()
    wer(preds, target)
    cer(preds, target)
    assert (wer.errors, wer.total) == (we, rw), ((wer.errors, wer.total), (we, rw))
    assert (cer.errors, cer.total) == (ce, rc), ((cer.errors, cer.total), (ce, rc))
    as32 = [torch.tensor(x, dtype=torch.float32).item() for x in (we / rw, ce / rc, ce / n)]
    for threads in (None, 1):
        tm._threads = threads
        assert list(textmetrics(preds, target)) == as32, (textmetrics(preds, target), as32)
    tm._threads = None
    return we, rw, ce, rc


def timed(fn, *args):
    start = time.perf_counter()
    fn(*args)
    return time.perf_counter() - start


def with_threads(threads):
    def run(preds, target):
        tm._threads = threads
        try:
            return textmetrics(preds, target)
        finally:
            tm._threads = None

    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=31)
    args = parser.parse_args()

    preds, target = corpus(args.pairs)
    we, rw, ce, rc = check_equal(preds, target)
    print(f"{args.pairs:,} pairs: {rw:,} reference words, {rc:,} reference characters")
    print(f"WER {we / rw:.4f}, CER {ce / rc:.4f}, mean edit distance {ce / args.pairs:.3f}: "
          "equal on both sides")

    runs = {"python-Levenshtein": baseline_figures, "one thread": with_threads(1),
            "own threads": with_threads(None)}
    times = {name: [] for name in runs}
    for r in range(args.repeats):
        order = list(runs.items())
        if r % 2:
            order.reverse()
        for name, fn in order:
            times[name].append(timed(fn, preds, target))
    median = {name: statistics.median(t) * 1e3 for name, t in times.items()}

    print(f"python-Levenshtein (C, Python loop):      {median['python-Levenshtein']:8.2f} ms")
    print(f"textmetrics, one worker thread:           {median['one thread']:8.2f} ms  "
          f"({median['python-Levenshtein'] / median['one thread']:.2f}x)")
    print(f"textmetrics, its own threads (at most 4): {median['own threads']:8.2f} ms")
    print(f"speed-up over python-Levenshtein: {median['python-Levenshtein'] / median['own threads']:.2f}x")


if __name__ == "__main__":
    main()
