"""One training epoch of a small speech model: ASRTrainer._train_epoch against
a bare PyTorch loop doing the same joint-loss steps.

Both start from the same weights and optimizer state and see the same batches
(collated once, held in memory): forward pass (float16 autocast where the
device has it), cross-entropy plus ctc_weight times CTC, the loss divided by
the accumulation count through a gradient scaler, an optimizer and scheduler
step at the end of each window, and token-weighted running sums of the three
losses. What the trainer adds is its bookkeeping: the progress bar and its
fields, the perplexity tensors, the cache release after every batch and the
attribute look-ups. Final weights and epoch metrics are checked equal before
timing; runs are interleaved (alternating which goes first) so that load
changes on a shared machine hit both sides, and medians are reported. The goal
is a trainer epoch at most 2 % longer than the bare loop.

    /usr/bin/python3 benchmarks/asr_trainer.py [--rounds N] [--threads N] [--device cpu|cuda]
"""

import argparse
import contextlib
import os
import pathlib
import statistics
import sys
import tempfile
import time

# One BLAS thread keeps run times steady on a busy machine (OpenBLAS's pool
# and PyTorch's spin against each other otherwise). Read when torch loads BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import torch  # noqa: E402
from torch import nn  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))  # the built tree

from corvantis.data.tokenizer import ZelTokenizer  # noqa: E402
from corvantis.model import EncoderDecoderTransformer  # noqa: E402
from corvantis.trainers.marrowby import ASRTrainer  # noqa: E402

FEATS, FRAMES, TOKENS, BATCH, BATCHES = 80, 200, 40, 8, 16
CTC_WEIGHT, ACCUMULATION, GOAL = 0.5, 2, 1.02
MODEL = dict(d_model=64, num_encoder_layers=2, num_decoder_layers=2, num_encoder_heads=4,
             num_decoder_heads=4, d_ff_encoder=256, d_ff_decoder=256, dropout=0.0, max_len=TOKENS,
             time_reduction=4, reduction_method="conv")


class Batches:
    """A loader over batches collated once, with the dataset member the epoch reads."""

    class Dataset:
        def get_avg_chars_per_token(self):
            return 1.0

    def __init__(self, batches):
        self.batches, self.dataset = batches, self.Dataset()

    def __len__(self):
        return len(self.batches)

    def __iter__(self):
        return iter(self.batches)


def speech_batches(tokenizer, device):
    """SpeechBatch tuples of random features and transcripts, padded as the dataset pads."""
    g = torch.Generator().manual_seed(0)
    out = []
    for _ in range(BATCHES):
        frames = torch.randint(FRAMES // 2, FRAMES + 1, (BATCH,), generator=g)
        frames[0] = FRAMES
        lengths = torch.randint(TOKENS // 2, TOKENS, (BATCH,), generator=g)
        lengths[0] = TOKENS - 1
        feats = torch.randn(BATCH, FRAMES, FEATS, generator=g)
        for i, n in enumerate(frames):
            feats[i, n:] = 0.0
        shifted = torch.full((BATCH, TOKENS), tokenizer.pad_id, dtype=torch.long)
        golden = shifted.clone()
        for i, n in enumerate(lengths):
            ids = torch.randint(4, tokenizer.num_classes, (int(n),), generator=g)
            shifted[i, 0], shifted[i, 1:n + 1] = tokenizer.sos_id, ids
            golden[i, :n], golden[i, n] = ids, tokenizer.eos_id
        batch = (feats, shifted, golden, frames, lengths + 1)
        out.append(tuple(x.to(device) for x in batch))
    return out


def grad_scaler(device):
    if hasattr(torch.amp, "GradScaler"):
        return torch.amp.GradScaler(device=device)
    return torch.cuda.amp.GradScaler(enabled=device.startswith("cuda"))


def autocast(device):
    if device.startswith("cuda"):
        return torch.autocast(device_type="cuda", dtype=torch.float16)
    return contextlib.nullcontext()  # PyTorch 1.13 has no float16 autocast on the CPU


def bare_epoch(model, batches, optimizer, scheduler, scaler, device, pad):
    """The same joint-loss steps as a plain loop; returns the token-weighted means."""
    ce_fn, ctc_fn = nn.CrossEntropyLoss(ignore_index=pad), nn.CTCLoss(blank=pad, zero_infinity=True)
    model.train()
    optimizer.zero_grad()
    ce_sum = ctc_sum = joint_sum = 0.0
    tokens = 0
    for i, (feats, shifted, golden, feat_len, text_len) in enumerate(batches):
        with autocast(device):
            logits, _, ctc_in = model(feats, shifted, feat_len, text_len)
            ce = ce_fn(logits.view(-1, logits.size(-1)), golden.view(-1))
            ctc = ctc_fn(ctc_in["log_probs"], golden, ctc_in["lengths"], text_len)
            loss = ce + CTC_WEIGHT * ctc
        n = text_len.sum().item()
        tokens += n
        ce_sum += ce.item() * n
        ctc_sum += ctc.item() * n
        joint_sum += loss.item() * n
        scaler.scale(loss / ACCUMULATION).backward()
        if (i + 1) % ACCUMULATION == 0:
            scaler.step(optimizer)
            scheduler.step()
            scaler.update()
            optimizer.zero_grad()
    if len(batches) % ACCUMULATION:
        scaler.step(optimizer)
        scheduler.step()
        scaler.update()
        optimizer.zero_grad()
    return {"ce_loss": ce_sum / tokens, "ctc_loss": ctc_sum / tokens, "joint_loss": joint_sum / tokens}


def fresh(model, weights, device):
    model.load_state_dict(weights)
    optimizer = torch.optim.AdamW(model.parameters(), lr=1e-3)
    return optimizer, torch.optim.lr_scheduler.CosineAnnealingLR(optimizer, T_max=100)


def run_trainer(trainer, weights, batches):
    trainer.optimizer, trainer.scheduler = fresh(trainer.model, weights, trainer.device)
    trainer.scaler = grad_scaler(trainer.device)
    start = time.perf_counter()
    metrics, _ = trainer._train_epoch(batches)
    sync(trainer.device)
    return time.perf_counter() - start, metrics, trainer.model.state_dict()


def run_bare(model, weights, batches, device, pad):
    optimizer, scheduler = fresh(model, weights, device)
    scaler = grad_scaler(device)
    start = time.perf_counter()
    metrics = bare_epoch(model, batches.batches, optimizer, scheduler, scaler, device, pad)
    sync(device)
    return time.perf_counter() - start, metrics, model.state_dict()


def sync(device):
    if device.startswith("cuda"):
        torch.cuda.synchronize()


def check_equal(trainer_run, bare_run, exact):
    (_, m1, w1), (_, m2, w2) = trainer_run, bare_run
    for name, value in w2.items():
        same = torch.equal(value, w1[name]) if exact else torch.allclose(value, w1[name], atol=1e-5)
        if not same:
            raise SystemExit(f"final weights differ: {name}")
    for key, value in m2.items():
        if (m1[key] != value) if exact else abs(m1[key] - value) > 1e-5 * max(1.0, abs(value)):
            raise SystemExit(f"epoch metric {key} differs: {m1[key]} against {value}")


class FreeModel(nn.Module):
    """Near-free forward pass: what is left of an epoch is the loop's own work."""

    def __init__(self, vocab):
        super().__init__()
        self.w = nn.Parameter(torch.zeros(vocab))

    def forward(self, feats, shifted, feat_lengths, transcript_lengths):
        logits = self.w.expand(shifted.size(0), shifted.size(1), -1)
        log_probs = self.w.log_softmax(-1).expand(feats.size(1), feats.size(0), -1)
        return logits, {}, {"log_probs": log_probs, "lengths": feat_lengths}


def bookkeeping(trainer, tokenizer, device, repeats=5):
    """Per-batch time the trainer adds to the same steps, with the model made free."""
    model = FreeModel(tokenizer.num_classes).to(device)
    batches = Batches([tuple(x[:1] for x in b) for b in speech_batches(tokenizer, device)] * 50)
    own_model, trainer.model = trainer.model, model
    weights = {k: v.clone() for k, v in model.state_dict().items()}
    ours, bare = [], []
    for _ in range(repeats):
        ours.append(run_trainer(trainer, weights, batches)[0])
        bare.append(run_bare(model, weights, batches, device, tokenizer.pad_id)[0])
    trainer.model = own_model
    n = len(batches)
    return statistics.median(ours) / n, statistics.median(bare) / n


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--threads", type=int, default=1, help="torch intra-op threads")
    parser.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    device = args.device
    tokenizer = ZelTokenizer()

    os.chdir(tempfile.mkdtemp(prefix="asr_trainer_bench_"))  # the experiment directory lands here
    pathlib.Path("run.yaml").write_text("training: {}\n")
    config = {"training": {"gradient_accumulation_steps": ACCUMULATION},
              "loss": {"ctc_weight": CTC_WEIGHT}, "data": {"num_feats": FEATS, "batch_size": 2}}
    torch.manual_seed(0)
    trainer = ASRTrainer(EncoderDecoderTransformer(FEATS, tokenizer.num_classes, **MODEL),
                         tokenizer, config, "bench", "run.yaml", device)
    weights = {k: v.clone() for k, v in trainer.model.state_dict().items()}
    bare_model = EncoderDecoderTransformer(FEATS, tokenizer.num_classes, **MODEL).to(device)
    batches = Batches(speech_batches(tokenizer, device))
    params = sum(p.numel() for p in bare_model.parameters())
    print(f"\n{params:,} parameters, {BATCHES} batches of {BATCH} x {FRAMES} frames x {TOKENS} "
          f"tokens, accumulation {ACCUMULATION}, ctc_weight {CTC_WEIGHT}, device {device}, "
          f"torch {torch.__version__}, {args.threads} thread(s)")

    first = run_trainer(trainer, weights, batches)
    check_equal(first, run_bare(bare_model, weights, batches, device, tokenizer.pad_id),
                exact=not device.startswith("cuda"))
    print("final weights and epoch metrics equal")

    ours, bare, ratios = [], [], []
    for r in range(args.rounds):
        pair = [lambda: run_trainer(trainer, weights, batches)[0],
                lambda: run_bare(bare_model, weights, batches, device, tokenizer.pad_id)[0]]
        if r % 2:
            t_bare, t_ours = pair[1](), pair[0]()
        else:
            t_ours, t_bare = pair[0](), pair[1]()
        ours.append(t_ours)
        bare.append(t_bare)
        ratios.append(t_ours / t_bare)
    t_ours, t_bare = bookkeeping(trainer, tokenizer, device)
    m_ours, m_bare = statistics.median(ours), statistics.median(bare)
    print(f"with a near-free model: trainer {t_ours * 1e6:.0f} us/batch, bare loop "
          f"{t_bare * 1e6:.0f} us/batch: the trainer adds {(t_ours - t_bare) * 1e6:.0f} us/batch, "
          f"{(t_ours - t_bare) / (m_bare / BATCHES):.2%} of a real batch")
    print(f"median epoch: ASRTrainer._train_epoch {m_ours * 1e3:.1f} ms, bare loop "
          f"{m_bare * 1e3:.1f} ms, {args.rounds} interleaved rounds "
          f"(per-batch {m_ours / BATCHES * 1e3:.2f} / {m_bare / BATCHES * 1e3:.2f} ms)")
    print(f"ratio of medians {m_ours / m_bare:.4f}, spread of per-round ratios "
          f"{min(ratios):.4f} .. {max(ratios):.4f} (goal <= {GOAL})")
    print(f"trainer / bare loop (median of per-round ratios): {statistics.median(ratios):.4f}")


if __name__ == "__main__":
    main()
