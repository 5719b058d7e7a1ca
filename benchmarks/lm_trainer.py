"""One training epoch of a language model: LMTrainer._train_epoch against a bare loop.

The baseline is the loop a user would write in Python without the trainer:
the same forward pass (under float16 autocast where the device has it), the
same loss divided by the accumulation count, the backward pass through a
gradient scaler, and at the end of each accumulation window (and once more
for a partial last window) the scaler's optimizer step, the scheduler step,
the scaler update and zero_grad. It keeps no running sums, shows no progress
bar and releases no cached memory, so the ratio is what the trainer adds per
batch (the per-batch loss and token count as plain numbers, the progress bar,
the attribute lookups, releasing the accelerator's cache).

Both start from the same weights with fresh AdamW optimizers and cosine
schedules and see the same batches; the final weights are checked equal
before anything is timed. Runs alternate in order and the median of the
per-pair ratios is printed last.

With --small the model shrinks to one layer of width 16 on batches of 4 x 16
tokens, so the model's own time all but vanishes and the difference per batch
is the trainer's own cost in absolute terms.

    /usr/bin/python3 benchmarks/lm_trainer.py [--rounds N] [--batches N] [--steps N]
        [--device cpu|cuda] [--small]
"""

import argparse
import contextlib
import os
import pathlib
import statistics
import sys
import tempfile
import time

# OpenBLAS's own threads on top of PyTorch's spin against each other on a busy
# machine; one BLAS thread keeps each run steady. Read when torch loads BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import torch  # noqa: E402
from torch import nn  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))  # the built tree

from corvantis.data.tokenizer import ZelTokenizer  # noqa: E402
from corvantis.model import DecoderOnlyTransformer  # noqa: E402
from corvantis.trainers.brenwick import LMTrainer  # noqa: E402

LAYERS, D_MODEL, HEADS, D_FF, VOCAB = 4, 256, 4, 1024, 40
BATCH, TOKENS = 32, 128
# 36 characters after the four special ids: a vocabulary of 40
CHARACTERS = " 'ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"[:VOCAB - 4]


class Loader:
    """Precomputed TextBatches with the members the epoch uses."""

    class Dataset:
        @staticmethod
        def get_avg_chars_per_token():
            return 1.0

    def __init__(self, batches):
        self.batches = batches
        self.dataset = self.Dataset()

    def __len__(self):
        return len(self.batches)

    def __iter__(self):
        return iter(self.batches)


def shrink():
    global LAYERS, D_MODEL, HEADS, D_FF, BATCH, TOKENS
    LAYERS, D_MODEL, HEADS, D_FF, BATCH, TOKENS = 1, 16, 2, 32, 4, 16


def make_batches(count, pad_id, sos_id):
    g = torch.Generator().manual_seed(7)
    batches = []
    for _ in range(count):
        lengths = torch.randint(TOKENS // 2, TOKENS + 1, (BATCH,), generator=g)
        lengths[0] = TOKENS
        ids = torch.randint(4, VOCAB, (BATCH, TOKENS + 1), generator=g)
        ids[:, 0] = sos_id
        shifted, golden = ids[:, :-1].clone(), ids[:, 1:].clone()
        pad = torch.arange(TOKENS)[None] >= lengths[:, None]
        shifted[pad], golden[pad] = pad_id, pad_id
        batches.append((shifted, golden, lengths))
    return batches


# ---- the baseline ------------------------------------------------------------------

def grad_scaler(device):
    if hasattr(torch.amp, "GradScaler"):
        return torch.amp.GradScaler(device=device)
    return torch.cuda.amp.GradScaler(enabled=torch.device(device).type == "cuda")


def autocast(device):
    if torch.device(device).type == "cuda":
        return torch.autocast(device_type="cuda", dtype=torch.float16)
    return contextlib.nullcontext()  # no float16 autocast on this CPU


class Bare:
    def __init__(self, model, pad_id, steps, device):
        self.model, self.steps, self.device = model, steps, device
        self.criterion = nn.CrossEntropyLoss(ignore_index=pad_id)
        self.scaler = grad_scaler(device)

    def window_end(self):
        self.scaler.step(self.optimizer)
        self.scheduler.step()
        self.scaler.update()
        self.optimizer.zero_grad()

    def epoch(self, batches):
        self.model.train()
        self.optimizer.zero_grad()
        for i, batch in enumerate(batches):
            shifted, golden, lengths = (x.to(self.device) for x in batch)
            with autocast(self.device):
                logits, _ = self.model(shifted, target_lengths=lengths)
                loss = self.criterion(logits.view(-1, logits.size(-1)), golden.view(-1))
            self.scaler.scale(loss / self.steps).backward()
            if (i + 1) % self.steps == 0:
                self.window_end()
        if len(batches) % self.steps:
            self.window_end()


# ---- measuring ---------------------------------------------------------------------

def fresh(side, initial, total_steps):
    """Initial weights, a new optimizer and schedule: every run does the same work."""
    side.model.load_state_dict(initial)
    side.optimizer = torch.optim.AdamW(side.model.parameters(), lr=1e-3)
    side.scheduler = torch.optim.lr_scheduler.CosineAnnealingLR(side.optimizer, total_steps)


def sync(device):
    if torch.device(device).type == "cuda":
        torch.cuda.synchronize()


def timed(run, device):
    sync(device)
    start = time.perf_counter()
    run()
    sync(device)
    return time.perf_counter() - start


def build(opts, workdir):
    tokenizer = ZelTokenizer(CHARACTERS)
    assert tokenizer.num_classes == VOCAB

    def model():
        torch.manual_seed(0)
        return DecoderOnlyTransformer(VOCAB, TOKENS, d_model=D_MODEL, num_layers=LAYERS,
                                      num_heads=HEADS, d_ff=D_FF, dropout=0.0)

    config_file = workdir / "config.yaml"
    config_file.write_text("training: {}\n")
    config = {"training": {"gradient_accumulation_steps": opts.steps}, "data": {"batch_size": 2}}
    with contextlib.redirect_stdout(open(os.devnull, "w")):  # the model summary
        trainer = LMTrainer(model(), tokenizer, config, "bench", str(config_file), opts.device)
    bare = Bare(model().to(opts.device), tokenizer.pad_id, opts.steps, opts.device)
    return trainer, bare, Loader(make_batches(opts.batches, tokenizer.pad_id, tokenizer.sos_id))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5, help="timed pairs")
    parser.add_argument("--batches", type=int, default=7, help="batches per epoch")
    parser.add_argument("--steps", type=int, default=2, help="gradient accumulation steps")
    parser.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    parser.add_argument("--small", action="store_true", help="a tiny model: the trainer's own cost")
    opts = parser.parse_args()
    if opts.small:
        shrink()

    with tempfile.TemporaryDirectory() as tmp:
        os.chdir(tmp)
        trainer, bare, loader = build(opts, pathlib.Path(tmp))
        initial = {k: v.clone() for k, v in trainer.model.state_dict().items()}
        total_steps = -(-opts.batches // opts.steps)
        runs = {"trainer": lambda: trainer._train_epoch(loader),
                "bare": lambda: bare.epoch(loader.batches)}

        for side in (trainer, bare):
            fresh(side, initial, total_steps)
        runs["trainer"]()
        runs["bare"]()
        ours, theirs = trainer.model.state_dict(), bare.model.state_dict()
        worst = max((ours[k].float() - theirs[k].float()).abs().max().item() for k in ours)
        same = all(torch.equal(ours[k], theirs[k]) for k in ours)
        print(f"device {opts.device}, threads {torch.get_num_threads()} (OpenBLAS "
              f"{os.environ['OPENBLAS_NUM_THREADS']}); {LAYERS} layers, d_model {D_MODEL}, "
              f"{HEADS} heads, d_ff {D_FF}, vocabulary {VOCAB}; {opts.batches} batches of "
              f"{BATCH} x {TOKENS} tokens, accumulation {opts.steps}")
        print(f"final weights {'equal' if same else 'differ'}; largest difference {worst:.3g}")
        if not same:
            raise SystemExit("the trainer and the bare loop disagree")

        # Adjacent runs see the same machine load: the ratio is taken per pair
        # (order alternating), and the median over pairs is reported.
        times = {"trainer": [], "bare": []}
        for r in range(opts.rounds):
            order = ("trainer", "bare") if r % 2 == 0 else ("bare", "trainer")
            for name in order:
                fresh(trainer if name == "trainer" else bare, initial, total_steps)
                times[name].append(timed(runs[name], opts.device))
        for name, t in times.items():
            print(f"{name:>7}: median {statistics.median(t) * 1e3:9.1f} ms, "
                  f"min {min(t) * 1e3:9.1f} ms over {len(t)} epochs")
        extra = statistics.median(a - b for a, b in zip(times["trainer"], times["bare"]))
        print(f"trainer's extra time per batch (median over pairs): "
              f"{extra / opts.batches * 1e6:.0f} us")
        ratios = [a / b for a, b in zip(times["trainer"], times["bare"])]
        print("per-pair ratios: " + " ".join(f"{x:.3f}" for x in ratios))
        print(f"trainer / bare loop time ratio (median over pairs): {statistics.median(ratios):.3f}")


if __name__ == "__main__":
    main()
