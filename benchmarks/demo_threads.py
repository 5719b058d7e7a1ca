"""How many torch threads the demo should take: a training step alone and beside a busy neighbour.

The demo's speech model (examples/demo.yaml) trains on batches of the demo's
size (8 utterances of 290 frames, 45 characters) with every core, and with
every core but two; each count runs on a quiet machine and again beside a
neighbour that keeps two cores busy (two spinning processes). Each count runs
in a fresh interpreter, so OpenMP's pool is the count's own.

    /usr/bin/python3 benchmarks/demo_threads.py [--steps 20]
"""

import argparse
import json
import multiprocessing
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]

STEP = r"""
import json, sys, time, torch, yaml
import torch.nn.functional as F
sys.path.insert(0, {root!r})
from corvantis.model import EncoderDecoderTransformer
threads, steps = {threads}, {steps}
torch.set_num_threads(threads)
torch.manual_seed(0)
config = yaml.safe_load(open({config!r}))
bins = config["data"]["num_feats"]
model = EncoderDecoderTransformer(input_dim=bins, num_classes=32, max_len=200, **config["model"])
optimizer = torch.optim.AdamW(model.parameters(), 1e-3)
x, x_len = torch.randn(8, 290, bins), torch.full((8,), 290)
y, y_len = torch.randint(4, 32, (8, 45)), torch.full((8,), 45)
times = []
for _ in range(steps + 2):
    start = time.perf_counter()
    logits, _, ctc = model(x, y, x_len, y_len)
    loss = F.cross_entropy(logits.flatten(0, 1), y.flatten()) + 0.5 * F.ctc_loss(
        ctc["log_probs"], y, ctc["lengths"], y_len, zero_infinity=True)
    optimizer.zero_grad()
    loss.backward()
    optimizer.step()
    times.append(time.perf_counter() - start)
times = sorted(times[2:])
print(json.dumps(times[len(times) // 2]))
"""


def spin(stop_at):
    while time.time() < stop_at:
        pass


def step_time(threads, steps):
    code = STEP.format(root=str(ROOT), threads=threads, steps=steps,
                       config=str(ROOT / "examples" / "demo.yaml"))
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=20)
    args = parser.parse_args()
    cores = os.cpu_count() or 1
    counts = sorted({cores, max(cores - 2, 1)}, reverse=True)
    rows = []
    for threads in counts:
        quiet = step_time(threads, args.steps)
        neighbours = [multiprocessing.Process(target=spin, args=(time.time() + 3600,)) for _ in range(2)]
        for p in neighbours:
            p.start()
        try:
            busy = step_time(threads, args.steps)
        finally:
            for p in neighbours:
                p.terminate()
                p.join()
        rows.append((threads, quiet, busy))
        print(f"{threads} threads: {1000 * quiet:.0f} ms a step alone, {1000 * busy:.0f} ms beside two busy "
              f"cores ({busy / quiet:.1f}x)", flush=True)
    best_quiet = min(r[1] for r in rows)
    for threads, quiet, busy in rows:
        print(f"ratio {threads} threads: alone {quiet / best_quiet:.2f}x the fastest, busy {busy / best_quiet:.2f}x")


if __name__ == "__main__":
    main()
