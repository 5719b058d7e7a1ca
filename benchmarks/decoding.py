"""Search overhead of SequenceGenerator against a plain Python generator.

The baseline, `ReferenceGenerator` (tests/reference/search.py, which the tests
check the generator against), is a straightforward Python version of the
same searches (tensor operations called from Python, per-row loops for the
repetition penalty and per-beam loops for finished hypotheses). Both run on
the same scoring functions; their sequences and scores are checked equal
(sampling with the same seeds) before anything is timed.

Overhead is the time of a search minus the time spent inside `score_fn`.
Scoring functions: precomputed random logits (vocabulary 32 and 1,000), and a
small Transformer decoder that rescores the whole prefix at every step.

The searches must call some tensor-library operations whose results they
return exactly (log-softmax, top-k, torch.multinomial); their own time on the
same shapes is printed as the floor that both versions share.

    /usr/bin/python3 benchmarks/decoding.py [--repeats N] [--threads N]
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # the decoder's BLAS, like torch's one thread

import torch
from torch import nn

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from tests.reference.search import ReferenceGenerator  # noqa: E402

BATCH, PROMPT, MAX_LENGTH, BEAM = 16, 1, 150, 10


class Timed:
    """Wraps a scoring function and adds up the time spent inside it."""

    def __init__(self, fn):
        self.fn = fn
        self.inside = 0.0
        self.calls = 0

    def __call__(self, prefixes):
        start = time.perf_counter()
        out = self.fn(prefixes)
        self.inside += time.perf_counter() - start
        self.calls += 1
        return out


class TableScorer:
    """Precomputed random logits: step t of row r always scores the same.

    The end token is made rare, so that most rows run to max_length.
    """

    def __init__(self, vocab, rows, max_length, eos_id, seed=0):
        g = torch.Generator().manual_seed(seed)
        self.table = torch.randn(max_length, rows, vocab, generator=g) * 3
        self.table[..., eos_id] -= 7.0

    def __call__(self, prefixes):
        # a copy, since the searches may penalise the returned logits in place
        return self.table[prefixes.size(1), : prefixes.size(0)].clone()


class SmallDecoder(nn.Module):
    """A two-layer Transformer decoder over a fixed encoder memory."""

    def __init__(self, vocab, d_model=128, layers=2, memory_frames=50, seed=0):
        super().__init__()
        torch.manual_seed(seed)
        self.embed = nn.Embedding(vocab, d_model)
        self.position = nn.Embedding(MAX_LENGTH + 1, d_model)
        layer = nn.TransformerDecoderLayer(d_model, 4, 4 * d_model, dropout=0.0, batch_first=True)
        self.decoder = nn.TransformerDecoder(layer, layers)
        self.out = nn.Linear(d_model, vocab)
        self.memory = torch.randn(BATCH, memory_frames, d_model)
        self.eval()

    def forward(self, prefixes):
        rows, t = prefixes.shape
        memory = self.memory.repeat_interleave(rows // BATCH, dim=0) if rows else self.memory[:0]
        h = self.embed(prefixes) + self.position(torch.arange(t))
        causal = torch.triu(torch.full((t, t), float("-inf")), diagonal=1)
        return self.out(self.decoder(h, memory, tgt_mask=causal)[:, -1])


class Vocabulary:
    """The tokenizer members the searches read."""

    def __init__(self, vocab):
        self.num_classes = vocab
        self.pad_id, self.sos_id, self.eos_id = 0, 1, 2


def searches(penalty):
    """(name, call(generator, prompts), floor(vocab)) for the three searches."""
    return [
        ("greedy", lambda g, x: g.generate_greedy(x), greedy_floor),
        ("sampling", lambda g, x: g.generate_sample(x), sampling_floor),
        (f"beam (width {BEAM}, penalty {penalty})",
         lambda g, x: g.generate_beam(x, BEAM, repeat_penalty=penalty), beam_floor),
    ]


def per_call(fn, repeats=300):
    fn()
    start = time.perf_counter()
    for _ in range(repeats):
        fn()
    return (time.perf_counter() - start) / repeats


def greedy_floor(vocab):
    logits = torch.randn(BATCH, vocab)
    return per_call(lambda: torch.log_softmax(logits, -1))


def sampling_floor(vocab):
    logits = torch.randn(BATCH, vocab)
    return per_call(lambda: torch.multinomial(torch.exp(torch.log_softmax(logits, -1)), 1))


def beam_floor(vocab):
    logits = torch.randn(BATCH, BEAM, vocab)
    return per_call(lambda: torch.topk(torch.log_softmax(logits, -1).view(BATCH, -1), BEAM, dim=-1))


def run(make, fn, scorer, tokenizer):
    """One seeded search: (sequences, scores, total time, overhead, scoring calls)."""
    timed = Timed(scorer)
    generator = make(timed, tokenizer, MAX_LENGTH)
    x = torch.full((BATCH, PROMPT), tokenizer.sos_id, dtype=torch.long)
    torch.manual_seed(0)
    with torch.inference_mode():  # as the trainers decode
        start = time.perf_counter()
        sequences, scores = fn(generator, x)
        total = time.perf_counter() - start
    return sequences, scores, total, total - timed.inside, timed.calls


def timings(make, fn, scorer, tokenizer, repeats):
    runs = [run(make, fn, scorer, tokenizer) for _ in range(repeats)]
    total, overhead = (statistics.median(r[i] for r in runs) for i in (2, 3))
    return runs[0], total, overhead


def measure(label, scorer, tokenizer, repeats, penalty, floors=True):
    from corvantis.decoding.quillane import SequenceGenerator

    print(f"\n{label}")
    ratios = {}
    for name, fn, floor in searches(penalty):
        first, n_total, n_over = timings(SequenceGenerator, fn, scorer, tokenizer, repeats)
        want, r_total, r_over = timings(ReferenceGenerator, fn, scorer, tokenizer, repeats)
        if not (torch.equal(first[0], want[0]) and torch.equal(first[1], want[1])):
            raise SystemExit(f"{name}: native and reference results differ")
        ratios[name] = r_over / n_over
        print(f"  {name:<28} {first[4]} steps, results equal")
        print(f"    overhead native    {n_over * 1e3:9.2f} ms = {n_over / n_total:6.1%} of {n_total * 1e3:9.2f} ms")
        print(f"    overhead reference {r_over * 1e3:9.2f} ms = {r_over / r_total:6.1%} of {r_total * 1e3:9.2f} ms")
        if floors:
            shared = floor(tokenizer.num_classes) * first[4]
            print(f"    shared tensor-library calls alone {shared * 1e3:.2f} ms; beyond them reference/native "
                  f"{(r_over - shared) / (n_over - shared):.2f}x")
        print(f"    overhead reference/native {r_over / n_over:.2f}x")
    return ratios


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--threads", type=int, default=1, help="torch intra-op threads")
    parser.add_argument("--penalty", type=float, default=1.2, help="beam repetition penalty")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    print(f"batch {BATCH}, prompt {PROMPT}, max_length {MAX_LENGTH}, torch {torch.__version__}, "
          f"{args.threads} thread(s), median of {args.repeats} runs (decoder: 1 run)")

    ratios = {}
    for vocab in (32, 1000):
        rows = BATCH * BEAM
        tokenizer = Vocabulary(vocab)
        scorer = TableScorer(vocab, rows, MAX_LENGTH + 1, tokenizer.eos_id)
        found = measure(f"random logits, vocabulary {vocab}", scorer, tokenizer, args.repeats, args.penalty)
        ratios.update({f"{name}, V={vocab}": r for name, r in found.items()})
    measure("small Transformer decoder as score_fn (2 layers, d_model 128), vocabulary 1000",
            SmallDecoder(1000), Vocabulary(1000), 1, args.penalty, floors=False)

    print("\nsearch overhead, reference / native (random logits):")
    for name, ratio in ratios.items():
        print(f"  {name:<40} {ratio:6.2f}x")


if __name__ == "__main__":
    main()
