"""Search overhead of SequenceGenerator against a plain Python generator.

The baseline, `ReferenceGenerator`, is a straightforward Python version of the
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

BATCH, PROMPT, MAX_LENGTH, BEAM = 16, 1, 150, 10


class ReferenceGenerator:
    """Greedy, beam and sampling search written directly in Python."""

    def __init__(self, score_fn, tokenizer, max_length, device="cpu"):
        self.score_fn = score_fn
        self.tokenizer = tokenizer
        self.max_length = max_length
        self.device = device

    def _apply_repeat_penalty(self, logits, sequences, penalty=1.0):
        if penalty == 1.0:
            return logits

        def penalize(index, row):
            unique_tokens = torch.unique(row)
            at = index + (unique_tokens,)
            logits[at] = logits[at] / torch.where(
                logits[at] > 0,
                torch.full_like(logits[at], penalty),
                torch.full_like(logits[at], 1.0 / penalty),
            )

        if logits.dim() == 2:
            for idx in range(sequences.size(0)):
                penalize((idx,), sequences[idx])
        else:
            for b in range(sequences.size(0)):
                for w in range(sequences.size(1)):
                    penalize((b, w), sequences[b, w])
        return logits

    def _filter_logits(self, logits, temperature=1.0, top_k=0, top_p=1.0):
        logits = logits / temperature
        if top_k > 0:
            top_k_logits, _ = torch.topk(logits, min(top_k, logits.size(-1)))
            logits[logits < top_k_logits[..., -1:]] = float("-inf")
        if top_p < 1.0:
            log_probs = torch.log_softmax(logits, dim=-1)
            sorted_log_probs, sorted_indices = torch.sort(log_probs, descending=True)
            cumulative_probs = torch.cumsum(torch.exp(sorted_log_probs), dim=-1)
            remove = cumulative_probs > top_p
            remove[..., 1:] = remove[..., :-1].clone()
            remove[..., 0] = 0
            logits[remove.scatter(dim=-1, index=sorted_indices, src=remove)] = float("-inf")
        return logits

    def _check(self, x):
        if not torch.is_tensor(x):
            raise TypeError("Input x must be a torch tensor")
        if x.dim() != 2:
            raise ValueError("Input x must be 2-dimensional (batch_size, seq_len)")

    def _check_length(self, x):
        if self.max_length < x.size(1):
            raise ValueError("max_length must be >= input sequence length")

    def _row_state(self, x):
        scores = torch.zeros(x.size(0), device=x.device)
        finished = torch.zeros(x.size(0), dtype=torch.bool, device=x.device)
        return scores, finished, getattr(self.tokenizer, "pad_id", 0)

    def _advance(self, x, scores, finished, token_scores, next_tokens, pad_token):
        scores = torch.where(finished, scores, scores + token_scores)
        finished = finished | (next_tokens == self.tokenizer.eos_id)
        next_tokens = torch.where(finished, torch.tensor(pad_token, device=x.device), next_tokens)
        return torch.cat([x, next_tokens.unsqueeze(1)], dim=1), scores, finished

    def generate_greedy(self, x, temperature=1.0, repeat_penalty=1.0):
        self._check(x)
        self._check_length(x)
        scores, finished, pad_token = self._row_state(x)
        for _ in range(self.max_length - x.size(1)):
            if finished.all():
                break
            next_logits = self.score_fn(x)
            next_logits = self._apply_repeat_penalty(next_logits, x, repeat_penalty)
            log_probs = torch.log_softmax(next_logits / temperature, dim=-1)
            token_scores, next_tokens = torch.max(log_probs, dim=-1)
            x, scores, finished = self._advance(x, scores, finished, token_scores, next_tokens, pad_token)
        return x, scores

    def generate_sample(self, x, temperature=1.0, top_k=0, top_p=1.0):
        self._check(x)
        self._check_length(x)
        if temperature <= 0:
            raise ValueError("temperature must be > 0")
        if top_k < 0:
            raise ValueError("top_k must be >= 0")
        if not (0 < top_p <= 1.0):
            raise ValueError("top_p must be > 0 and <= 1.0")
        scores, finished, pad_token = self._row_state(x)
        for _ in range(self.max_length - x.size(1)):
            if finished.all():
                break
            filtered = self._filter_logits(self.score_fn(x), temperature, top_k, top_p)
            log_probs = torch.log_softmax(filtered, dim=-1)
            next_tokens = torch.multinomial(torch.exp(log_probs), num_samples=1).squeeze(-1)
            token_scores = log_probs.gather(1, next_tokens.unsqueeze(1)).squeeze(1)
            x, scores, finished = self._advance(x, scores, finished, token_scores, next_tokens, pad_token)
        return x, scores

    def generate_beam(self, x, beam_width, temperature=1.0, repeat_penalty=1.0):
        self._check(x)
        if beam_width < 1:
            raise ValueError("beam_width must be >= 1")
        self._check_length(x)
        batch_size, input_seq_len = x.size()
        vocab_size = self.tokenizer.num_classes
        eos_id = self.tokenizer.eos_id
        pad_id = getattr(self.tokenizer, "pad_id", 0)
        current_sequences = x.unsqueeze(1).repeat(1, beam_width, 1)
        current_scores = torch.full((batch_size, beam_width), float("-inf"), device=x.device)
        current_scores[:, 0] = 0.0
        finished_beams = [[] for _ in range(batch_size)]
        for _ in range(self.max_length - input_seq_len):
            x_flat = current_sequences.reshape(batch_size * beam_width, current_sequences.size(-1))
            next_logits = self.score_fn(x_flat).view(batch_size, beam_width, vocab_size)
            next_logits = self._apply_repeat_penalty(next_logits, current_sequences, repeat_penalty)
            log_probs = torch.log_softmax(next_logits / temperature, dim=-1)
            total = current_scores.unsqueeze(-1) + log_probs
            top_scores, top_indices = torch.topk(total.view(batch_size, beam_width * vocab_size), beam_width, dim=-1)
            prev_beam_indices = top_indices // vocab_size
            next_token_indices = top_indices % vocab_size
            index = prev_beam_indices.unsqueeze(-1).repeat(1, 1, current_sequences.size(-1))
            parent_sequences = torch.gather(current_sequences, dim=1, index=index)
            new_sequences = torch.cat([parent_sequences, next_token_indices.unsqueeze(-1)], dim=-1)
            new_scores = top_scores.clone()
            for b in range(batch_size):
                is_eos_beam = next_token_indices[b] == eos_id
                for w in range(beam_width):
                    if is_eos_beam[w]:
                        finished_beams[b].append((new_sequences[b, w].clone(), new_scores[b, w].clone()))
                        new_scores[b, w] = float("-inf")
                if len(finished_beams[b]) > beam_width:
                    finished_beams[b] = sorted(finished_beams[b], key=lambda h: h[1], reverse=True)[:beam_width]
            current_sequences, current_scores = new_sequences, new_scores
            if all(
                not (current_scores[b].max() > float("-inf")) and len(finished_beams[b]) >= beam_width
                for b in range(batch_size)
            ):
                break
        final_sequences = torch.zeros(batch_size, beam_width, self.max_length, dtype=x.dtype, device=x.device)
        final_scores = torch.full((batch_size, beam_width), float("-inf"), dtype=torch.float, device=x.device)
        for b in range(batch_size):
            candidates = list(finished_beams[b])
            for w in range(beam_width):
                if current_scores[b, w] != float("-inf"):
                    candidates.append((current_sequences[b, w], current_scores[b, w]))
            chosen = sorted(candidates, key=lambda h: h[1], reverse=True)[:beam_width]
            for w, (seq, score) in enumerate(chosen):
                final_scores[b, w] = score
                final_sequences[b, w, : seq.size(0)] = seq
                if seq.size(0) < self.max_length:
                    final_sequences[b, w, seq.size(0):] = pad_id
        return final_sequences, final_scores


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
