"""CPU training steps of the demo's speech model: float32, bfloat16 autocast, and bfloat16 on rounded shapes.

The demo trains under bfloat16 autocast where the CPU multiplies in bfloat16
(AVX512-BF16, AMX) and pads each training batch to a multiple of 32 frames and
8 tokens (examples/demo.py's RoundedPadding). This measures why both: the
demo's model (examples/demo.yaml) takes joint cross-entropy plus CTC steps
with AdamW on batches of 16 whose lengths vary as length buckets do (a
length of 100 to 700 frames drawn for every batch, a character per 7 frames),
in float32, in bfloat16 at each batch's own length, and in bfloat16 on the
rounded lengths. Each variant runs in a fresh interpreter (oneDNN keeps its
kernels per process) over the same batches once, as an epoch does: at their
own lengths few shapes recur, rounded ones do. The median step of the first
and of the second half of the pass are reported.

    /usr/bin/python3 benchmarks/cpu_bfloat16.py [--batches 80] [--threads N]
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]

STEP = r"""
import os
os.environ.setdefault("ONEDNN_PRIMITIVE_CACHE_CAPACITY", "8192")
import contextlib, json, statistics, sys, time, torch, yaml
sys.path.insert(0, {root!r}); sys.path.insert(0, {examples!r})
from corvantis.model import EncoderDecoderTransformer
from demo import RoundedPadding
bf16, rounded, batches, threads = {bf16}, {rounded}, {batches}, {threads}
torch.set_num_threads(threads)
config = yaml.safe_load(open({config!r}))
bins, pad = config["data"]["num_feats"], 0
g = torch.Generator().manual_seed(0)
data = []
for _ in range(batches):
    frames = int(torch.randint(100, 700, (1,), generator=g))
    tokens = frames // 7
    lengths = (frames * (1 - 0.05 * torch.rand(16, generator=g))).long()
    lengths[0] = frames
    text = (lengths // 7).clamp(max=tokens)
    feats = torch.randn(16, frames, bins, generator=g)
    shifted = torch.randint(4, 32, (16, tokens), generator=g)
    golden = torch.randint(4, 32, (16, tokens), generator=g)
    batch = (feats, shifted, golden, lengths, text)
    data.append(RoundedPadding(lambda items, b=batch: b, pad)([]) if rounded else batch)
torch.manual_seed(0)
model = EncoderDecoderTransformer(input_dim=bins, num_classes=32, max_len=200, **config["model"])
optimizer = torch.optim.AdamW(model.parameters(), 1e-3)
ce = torch.nn.CrossEntropyLoss(ignore_index=pad)
ctc = torch.nn.CTCLoss(blank=pad, zero_infinity=True)
times = []
for feats, shifted, golden, lengths, text in data:
    start = time.perf_counter()
    with torch.autocast("cpu", dtype=torch.bfloat16) if bf16 else contextlib.nullcontext():
        logits, _, out = model(feats, shifted, lengths, text)
        loss = ce(logits.reshape(-1, logits.size(-1)), golden.reshape(-1)) + 0.5 * ctc(
            out["log_probs"], golden, out["lengths"], text)
    optimizer.zero_grad()
    loss.backward()
    optimizer.step()
    times.append(time.perf_counter() - start)
half = len(times) // 2
print(json.dumps([statistics.median(times[:half]) * 1000, statistics.median(times[half:]) * 1000]))
"""

VARIANTS = (("float32", False, False), ("bfloat16", True, False), ("bfloat16, rounded shapes", True, True))


def run(bf16, rounded, batches, threads):
    code = STEP.format(root=str(ROOT), examples=str(ROOT / "examples"), bf16=bf16, rounded=rounded,
                       batches=batches, threads=threads, config=str(ROOT / "examples" / "demo.yaml"))
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--batches", type=int, default=80)
    parser.add_argument("--threads", type=int, default=max((os.cpu_count() or 1) - 2, 1))
    args = parser.parse_args()
    print(f"{args.batches} batches of 16, a new length each, {args.threads} threads; median ms per step")
    print(f"  {'variant':26s} {'first half':>10s} {'second half':>11s}")
    for name, bf16, rounded in VARIANTS:
        first, second = run(bf16, rounded, args.batches, args.threads)
        print(f"  {name:26s} {first:10.0f} {second:11.0f}", flush=True)


if __name__ == "__main__":
    main()
