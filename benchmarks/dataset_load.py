"""ASRDataset against straightforward Python versions of the same steps.

1. Construction of a 2,000-utterance training partition (80 bins, 200 to
   1,600 frames, float32; transcripts of 50 to 250 characters), files in the
   page cache, against the loop with np.load written from the dataset's
   description, with the same resulting arrays.
2. Peak resident memory added by construction, against the feature bytes.
3. collate_fn on batches of 64 with SpecAugment on, against the padding and
   masking steps written in Python, with the same random draws.

Usage: /usr/bin/python3 benchmarks/dataset_load.py [--threads 8] [--root DIR]
"""

import argparse
import contextlib
import os
import random
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import numpy as np  # noqa: E402
import torch  # noqa: E402
from tqdm import tqdm  # noqa: E402

from corvantis.data.pimbrook import ASRDataset  # noqa: E402
from corvantis.data.tokenizer import ZelTokenizer  # noqa: E402
from tests.reference.collate import reference_collate  # noqa: E402

PARTITION = "train-clean-100"
BINS, UTTERANCES, BATCH = 80, 2000, 64
ALPHABET = " 'ABCDEFGHIJKLMNOPQRSTUVWXYZ"


def make_corpus(root):
    rng = np.random.default_rng(0)
    fbank = os.path.join(root, PARTITION, "fbank")
    text = os.path.join(root, PARTITION, "text")
    os.makedirs(fbank, exist_ok=True)
    os.makedirs(text, exist_ok=True)
    for i in range(UTTERANCES):
        frames = int(rng.integers(200, 1601))
        np.save(os.path.join(fbank, f"{i:05d}.npy"),
                (rng.standard_normal((BINS, frames)) * 3 + 5).astype(np.float32))
        chars = rng.choice(list(ALPHABET), int(rng.integers(50, 251)))
        np.save(os.path.join(text, f"{i:05d}.npy"), chars)


def warm_page_cache(root):
    for dirpath, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(dirpath, name), "rb") as f:
                while f.read(1 << 20):
                    pass


def config_for(root, norm):
    return dict(root=root, num_feats=BINS, norm=norm, specaug=True,
                specaug_conf=dict(time_mask_width_range=100, freq_mask_width_range=27,
                                  apply_freq_mask=True, num_freq_mask=2,
                                  apply_time_mask=True, num_time_mask=2))


# ---- the Python baselines -------------------------------------------------


def python_load(c, tokenizer, partition=PARTITION):
    """The construction loop as described: np.load per file, statistics in torch."""
    fbank_dir = os.path.join(c["root"], partition, "fbank")
    fbank_files = [os.path.join(fbank_dir, f) for f in sorted(os.listdir(fbank_dir))
                   if f.endswith(".npy")]
    text_dir = os.path.join(c["root"], partition, "text")
    text_files = [os.path.join(text_dir, f) for f in sorted(os.listdir(text_dir))
                  if f.endswith(".npy")]
    sos, eos = tokenizer.sos_id, tokenizer.eos_id
    feats, shifted, golden = [], [], []
    total_chars = total_tokens = feat_max_len = text_max_len = 0
    stats = c["norm"] == "global_mvn"
    if stats:
        count = 0
        mean = torch.zeros(c["num_feats"], dtype=torch.float64)
        m2 = torch.zeros(c["num_feats"], dtype=torch.float64)
    print("Loading data for " + partition + " partition...")
    for i in tqdm(range(len(fbank_files))):
        feat = np.load(fbank_files[i])[:c["num_feats"], :]
        feats.append(feat)
        feat_max_len = max(feat_max_len, feat.shape[1])
        if stats:
            x = torch.FloatTensor(feat)
            count += x.shape[1]
            delta = x - mean.unsqueeze(1)
            mean += delta.sum(dim=1) / count
            m2 += (delta * (x - mean.unsqueeze(1))).sum(dim=1)
        transcript = "".join(np.load(text_files[i], allow_pickle=True).tolist())
        total_chars += len(transcript)
        tokenized = tokenizer.encode(transcript)
        total_tokens += len(tokenized)
        text_max_len = max(text_max_len, len(tokenized) + 1)
        shifted.append([sos] + tokenized)
        golden.append(tokenized + [eos])
    out = dict(feats=feats, transcripts_shifted=shifted, transcripts_golden=golden,
               total_chars=total_chars, total_tokens=total_tokens, feat_max_len=feat_max_len,
               text_max_len=text_max_len)
    if stats:
        out["global_std"] = torch.sqrt(m2 / (count - 1) + 1e-8).float()
        out["global_mean"] = mean.float()
    return out


# ---- checks and timing ----------------------------------------------------


def check_same(ds, ref):
    assert len(ds.feats) == len(ref["feats"])
    for a, b in zip(ds.feats, ref["feats"]):
        assert a.dtype == b.dtype and np.array_equal(a, b)
    for key in ["transcripts_shifted", "transcripts_golden", "total_chars", "total_tokens",
                "feat_max_len", "text_max_len"]:
        assert getattr(ds, key) == ref[key], key
    if "global_mean" in ref:  # float64 sums in another order: equal to float32 rounding
        for key in ["global_mean", "global_std"]:
            assert torch.allclose(getattr(ds, key), ref[key], rtol=2e-7, atol=0), key


@contextlib.contextmanager
def quiet():
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink), \
            contextlib.redirect_stderr(sink):
        yield


def best_of(repeat, fn):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def construction(root, norm, tokenizer, repeat):
    config = config_for(root, norm)
    with quiet():
        ds = ASRDataset(PARTITION, config, tokenizer, True)
        check_same(ds, python_load(config, tokenizer))
        del ds
        ours = best_of(repeat, lambda: ASRDataset(PARTITION, config, tokenizer, True))
        theirs = best_of(repeat, lambda: python_load(config, tokenizer))
    return ours, theirs


def collation(root, tokenizer, repeat):
    with quiet():
        ds = ASRDataset(PARTITION, config_for(root, "global_mvn"), tokenizer, True)
    order = list(range(len(ds)))
    random.Random(0).shuffle(order)
    batches = [[ds[i] for i in order[k:k + BATCH]] for k in range(0, len(order), BATCH)]
    for batch in batches[:3]:
        torch.manual_seed(1)
        a = ds.collate_fn(batch)
        torch.manual_seed(1)
        b = reference_collate(ds, batch)
        assert all(torch.equal(x, y) for x, y in zip(a, b))
    ours = best_of(repeat, lambda: [ds.collate_fn(b) for b in batches])
    theirs = best_of(repeat, lambda: [reference_collate(ds, b) for b in batches])
    return ours / len(batches), theirs / len(batches), len(batches)


# ---- resident memory, measured in a fresh process -------------------------


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def memory_child(root, which):
    tokenizer = ZelTokenizer()
    config = config_for(root, "global_mvn")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak (VmHWM) from the current size
    before = status_kib("VmRSS")
    with quiet():
        if which == "native":
            feats = ASRDataset(PARTITION, config, tokenizer, True).feats
        else:
            feats = python_load(config, tokenizer)["feats"]
    peak = status_kib("VmHWM")
    print((peak - before) * 1024, sum(f.nbytes for f in feats), before * 1024)


def memory(root, which):
    out = subprocess.run([sys.executable, __file__, "--memory-child", which, "--root", root],
                         check=True, capture_output=True, text=True, env=os.environ).stdout
    added, feature_bytes, before = map(int, out.split())
    return added, feature_bytes, before


# ---- main -----------------------------------------------------------------


def run(root, args):
    tokenizer = ZelTokenizer()
    warm_page_cache(root)
    print(f"corpus: {UTTERANCES} utterances, {BINS} bins, 200-1600 frames, float32; "
          f"reader threads {os.environ['CORVANTIS_LOADER_THREADS']}, torch threads "
          f"{torch.get_num_threads()}, load average before {os.getloadavg()[0]:.2f}")
    results = {}
    for norm in ["global_mvn", "none"]:
        ours, theirs = construction(root, norm, tokenizer, args.repeat)
        results[norm] = theirs / ours
        print(f"construction, norm={norm}: native {ours:.3f} s, Python loop {theirs:.3f} s")
    added, feature_bytes, before = memory(root, "native")
    py_added, _, _ = memory(root, "python")
    print(f"feature bytes {feature_bytes / 2**20:.1f} MiB; resident memory added during "
          f"construction: native {added / 2**20:.1f} MiB, Python loop {py_added / 2**20:.1f} MiB "
          f"(interpreter with torch before: {before / 2**20:.1f} MiB)")
    ours, theirs, n = collation(root, tokenizer, args.repeat)
    print(f"collate_fn, {n} batches of {BATCH} with SpecAugment: native {ours * 1e3:.2f} ms, "
          f"Python steps {theirs * 1e3:.2f} ms per batch")
    print(f"load average after {os.getloadavg()[0]:.2f}")
    print(f"peak resident memory added / feature bytes: {added / feature_bytes:.3f} (goal <= 1.3)")
    print(f"collate_fn speed-up: {theirs / ours:.2f}x (goal >= 2)")
    print(f"construction speed-up (norm=none): {results['none']:.2f}x")
    print(f"construction speed-up (norm=global_mvn): {results['global_mvn']:.2f}x (goal >= 4)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=8, help="reader threads")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--root", help="corpus directory (made when missing)")
    parser.add_argument("--memory-child", choices=["native", "python"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        return memory_child(args.root, args.memory_child)
    os.environ["CORVANTIS_LOADER_THREADS"] = str(args.threads)
    if args.root:
        if not os.path.isdir(os.path.join(args.root, PARTITION)):
            make_corpus(args.root)
        return run(args.root, args)
    with tempfile.TemporaryDirectory(prefix="corpus-") as root:
        make_corpus(root)
        run(root, args)


if __name__ == "__main__":
    main()
