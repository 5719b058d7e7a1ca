"""A CPU training step of a small speech model under float16 autocast with an
enabled gradient scaler, against the same step in float32 with the scaler off.

Where PyTorch has float16 autocast on the CPU (2.x), this decides how CPU
epochs run: the two variants start from the same weights, see the same batches
(benchmarks/asr_trainer.py's model and data) and take the same joint
cross-entropy plus CTC steps with AdamW. They run interleaved, a block of steps
of one and then of the other, so that load changes on a shared machine hit
both; the median time per step is reported, and the loss of each model,
evaluated in float32 on its training batches and on held-out ones, at the
start and after the steps.

    /usr/bin/python3 benchmarks/cpu_precision.py [--steps N] [--block N] [--threads N]
"""

import argparse
import contextlib
import os
import pathlib
import statistics
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import torch  # noqa: E402
from torch import nn  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))  # the built tree
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from asr_trainer import CTC_WEIGHT, FEATS, MODEL, speech_batches  # noqa: E402
from corvantis.data.tokenizer import ZelTokenizer  # noqa: E402
from corvantis.model import EncoderDecoderTransformer  # noqa: E402


def has_cpu_float16_autocast():
    try:
        with torch.autocast(device_type="cpu", dtype=torch.float16):
            return torch.ones(2, 2).matmul(torch.ones(2, 2)).dtype == torch.float16
    except RuntimeError:  # PyTorch 1.13: only bfloat16 on the CPU
        return False


class Variant:
    def __init__(self, name, weights, tokenizer, half):
        self.name, self.half, self.times = name, half, []
        self.model = EncoderDecoderTransformer(FEATS, tokenizer.num_classes, **MODEL)
        self.model.load_state_dict(weights)
        self.optimizer = torch.optim.AdamW(self.model.parameters(), lr=1e-3)
        self.scaler = torch.amp.GradScaler(device="cpu", enabled=half)
        self.ce = nn.CrossEntropyLoss(ignore_index=tokenizer.pad_id)
        self.ctc = nn.CTCLoss(blank=tokenizer.pad_id, zero_infinity=True)

    def context(self):
        if self.half:
            return torch.autocast(device_type="cpu", dtype=torch.float16)
        return contextlib.nullcontext()

    def loss(self, batch):
        feats, shifted, golden, feat_len, text_len = batch
        logits, _, ctc_in = self.model(feats, shifted, feat_len, text_len)
        ce = self.ce(logits.float().view(-1, logits.size(-1)), golden.view(-1))
        ctc = self.ctc(ctc_in["log_probs"].float(), golden, ctc_in["lengths"], text_len)
        return ce + CTC_WEIGHT * ctc

    def step(self, batch):
        self.model.train()
        start = time.perf_counter()
        with self.context():
            loss = self.loss(batch)
        self.scaler.scale(loss).backward()
        self.scaler.step(self.optimizer)
        self.scaler.update()
        self.optimizer.zero_grad()
        self.times.append(time.perf_counter() - start)
        return float(loss)

    @torch.no_grad()
    def eval_loss(self, batches):
        self.model.eval()
        return statistics.fmean(float(self.loss(b)) for b in batches)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=300)
    parser.add_argument("--block", type=int, default=10, help="steps of one variant in a row")
    parser.add_argument("--threads", type=int, default=2, help="torch intra-op threads")
    args = parser.parse_args()
    if not has_cpu_float16_autocast():
        raise SystemExit(f"torch {torch.__version__} has no float16 autocast on the CPU")
    torch.set_num_threads(args.threads)
    tokenizer = ZelTokenizer()
    batches = speech_batches(tokenizer, "cpu")
    train, held_out = batches[:12], batches[12:]
    torch.manual_seed(0)
    weights = EncoderDecoderTransformer(FEATS, tokenizer.num_classes, **MODEL).state_dict()
    variants = [Variant("float16 autocast, scaler on", weights, tokenizer, True),
                Variant("float32, scaler off", weights, tokenizer, False)]
    start = variants[1]
    print(f"\ntorch {torch.__version__}, {args.threads} thread(s), {args.steps} steps each in "
          f"interleaved blocks of {args.block}; loss at the start: training batches "
          f"{start.eval_loss(train):.4f}, held-out {start.eval_loss(held_out):.4f}")
    done, turn = 0, 0
    while done < args.steps:
        n = min(args.block, args.steps - done)
        order = variants if turn % 2 == 0 else variants[::-1]
        for v in order:
            for i in range(done, done + n):
                v.step(train[i % len(train)])
        done, turn = done + n, turn + 1
    for v in variants:
        print(f"{v.name:28s} median step {statistics.median(v.times) * 1e3:7.1f} ms, "
              f"loss after {args.steps} steps: training batches {v.eval_loss(train):.4f}, "
              f"held-out {v.eval_loss(held_out):.4f}"
              + (f", final scale {v.scaler.get_scale():g}" if v.half else ""))
    half, full = (statistics.median(v.times) for v in variants)
    print(f"ratio of median steps float16 / float32: {half / full:.2f}")


if __name__ == "__main__":
    main()
