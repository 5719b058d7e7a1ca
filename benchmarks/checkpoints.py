"""BaseTrainer checkpoints against plain torch.save and torch.load.

1. load_checkpoint of a trainer's record (a 4-layer language model, its AdamW
   state, a metric history) against the same restore over
   torch.load(weights_only=False), the unrestricted reader a user would
   otherwise call, with equal results. On
   PyTorch 1.13 this times the project's restricted reader; where the
   weights-only torch.load reads floats it times that.
2. The same with a record that is mostly history (20,000 entries), which
   exercises the pickle opcodes rather than the tensor bytes.
3. save_checkpoint (temporary file, fsync, rename, directory fsync) against
   torch.save straight over the target.

Runs are interleaved and the median of each is reported; ratios are
ours / baseline (below 1: ours is faster).

Usage: /usr/bin/python3 benchmarks/checkpoints.py [--repeats 9]
"""

import argparse
import contextlib
import io
import os
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import torch  # noqa: E402

from corvantis.data.tokenizer import ZelTokenizer  # noqa: E402
from corvantis.model import DecoderOnlyTransformer  # noqa: E402
from tests.reference.checkpoint import Trainer, same  # noqa: E402


def make_trainer(history):
    tok = ZelTokenizer()
    model = DecoderOnlyTransformer(tok.num_classes, 256, d_model=256, num_layers=4, num_heads=4,
                                   d_ff=1024)
    with contextlib.redirect_stdout(io.StringIO()):
        t = Trainer(model, tok, {"training": {}, "data": {"batch_size": 1}}, "bench",
                    "config.yaml", device="cpu")
    t.optimizer = torch.optim.AdamW(t.model.parameters(), lr=1e-3)
    ids = torch.randint(0, tok.num_classes, (2, 32))
    t.model(ids, target_lengths=torch.tensor([32, 20]))[0].sum().backward()
    t.optimizer.step()
    t.training_history = [{"epoch": e, "train": {"ce_loss": 1.0 / (e + 1), "perplexity": 2.5},
                           "val": {"ce_loss": 0.5, "perplexity_char": 1.25}, "lr": 1e-3}
                          for e in range(history)]
    t.best_metric = 0.5
    return t


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def compare(label, ours, baseline, repeats):
    a, b = [], []
    for _ in range(repeats):  # interleaved, so load drifts hit both alike
        a.append(timed(ours))
        b.append(timed(baseline))
    ma, mb = statistics.median(a), statistics.median(b)
    print(f"{label}: ours {ma * 1e3:.1f} ms, baseline {mb * 1e3:.1f} ms, ratio {ma / mb:.2f}")


def bench_load(history, repeats):
    t = make_trainer(history)
    t.save_checkpoint("last.pth")
    path = t.checkpoint_dir / "last.pth"
    record = torch.load(path, weights_only=False)
    expected = (t.model.state_dict(), t.optimizer.state_dict(), t.training_history)

    def ours():
        with contextlib.redirect_stdout(io.StringIO()):
            t.load_checkpoint("last.pth")

    ours()
    assert same((t.model.state_dict(), t.optimizer.state_dict(), t.training_history), expected)
    assert same(t.training_history, record["training_history"])
    size = path.stat().st_size / 1e6
    def baseline():  # the same restore over the unrestricted reader
        r = torch.load(path, map_location="cpu", weights_only=False)
        t.model.load_state_dict(r["model_state_dict"])
        t.optimizer.load_state_dict(r["optimizer_state_dict"])
        t.scaler.load_state_dict(r["scaler_state_dict"])
        t.current_epoch, t.best_metric = r["epoch"], r["best_metric"]
        t.training_history = r["training_history"]

    compare(f"restore, {size:.1f} MB, {history} history entries", ours, baseline, repeats)


def bench_save(repeats):
    t = make_trainer(100)
    plain = t.checkpoint_dir / "plain.pth"

    def baseline():
        record = {"epoch": t.current_epoch, "model_state_dict": t.model.state_dict(),
                  "optimizer_state_dict": t.optimizer.state_dict(),
                  "scheduler_state_dict": None, "scaler_state_dict": t.scaler.state_dict(),
                  "best_metric": t.best_metric, "training_history": t.training_history,
                  "config": t.config}
        torch.save(record, plain)

    compare("save (crash-safe) against torch.save over the file",
            lambda: t.save_checkpoint("last.pth"), baseline, repeats)
    a = torch.load(t.checkpoint_dir / "last.pth", weights_only=False)
    b = torch.load(plain, weights_only=False)
    assert same(a, b)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        os.chdir(tmp)
        with open("config.yaml", "w") as f:
            f.write("training: {}\n")
        bench_load(100, args.repeats)
        bench_load(20000, args.repeats)
        bench_save(args.repeats)


if __name__ == "__main__":
    main()
