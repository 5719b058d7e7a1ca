"""Feasibility study: trains the speech recogniser of the demo with a bare loop and scores it.

A study tool, not the demo: it does per batch what the speech trainer does
(float32 forward on a CPU, bfloat16 with --bf16; cross-entropy with label smoothing plus ctc_weight
times CTC, backward on loss / accumulation steps, an optimizer and scheduler
step per window, no gradient clipping), then recognises the held-out voices
greedily, by beam search and by beam search with a language model fused in,
and prints character and word error rates with wall and process CPU times.

    /usr/bin/python3 examples/asr_study.py --config examples/demo.yaml \
        --set model.d_model=128 --set scheduler.cosine.T_max=12 --epochs 12

The configuration is the demo's YAML file (sections training, loss, data,
optimizer, scheduler, model, and lm for the language model). Corpus:
examples/make_corpus.py.
"""

import argparse
import contextlib
import copy
import json
import math
import os
import pathlib
import sys
import time

import torch
import yaml

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))  # the built tree
sys.path.insert(0, str(ROOT / "examples"))

from corvantis.data.dunskell import LMDataset  # noqa: E402
from corvantis.data.pimbrook import ASRDataset  # noqa: E402
from corvantis.data.tokenizer import ZelTokenizer  # noqa: E402
from corvantis.decoding.quillane import SequenceGenerator  # noqa: E402
from corvantis.model import DecoderOnlyTransformer, EncoderDecoderTransformer  # noqa: E402
from corvantis.utils import create_scheduler, yarrowind  # noqa: E402
from ctc_search import CtcPrefixScorer  # noqa: E402
from demo import LengthBuckets, by_voice, set_key, training_stats  # noqa: E402

HELDOUT = "heldout-voices"


class Clock:
    """Wall and process CPU seconds since construction."""

    def __init__(self):
        self.wall, self.cpu = time.time(), time.process_time()

    def lap(self):
        return time.time() - self.wall, time.process_time() - self.cpu

    def text(self):
        wall, cpu = self.lap()
        return f"{wall:.1f} s wall, {cpu:.1f} s CPU, load {os.getloadavg()[0]:.1f}"


def speech_sets(config, tok, partitions):
    data = config["data"]["dataset"]
    train = ASRDataset("train-clean-100", data, tok, True)
    stats = training_stats(train)
    evaluation = {p: ASRDataset(p, data, tok, False, stats) for p in partitions}
    return train, evaluation


def loader(dataset, batch_size, buckets, seed=0, shuffle=False, workers=0, ascending_passes=0,
           epoch_batches=None):
    if buckets:
        lengths = [f.shape[1] for f in dataset.feats]
        sampler = LengthBuckets(lengths, batch_size, seed, ascending_passes, shuffle, epoch_batches)
        return torch.utils.data.DataLoader(dataset, batch_sampler=sampler,
                                           collate_fn=dataset.collate_fn, num_workers=workers)
    return torch.utils.data.DataLoader(dataset, batch_size=batch_size, shuffle=shuffle,
                                       collate_fn=dataset.collate_fn, num_workers=workers)


def build_speech_model(config, tok, max_len):
    return EncoderDecoderTransformer(input_dim=config["data"]["num_feats"], num_classes=tok.num_classes,
                                     max_len=max_len, **config["model"])


def train_speech(model, train_loader, config, tok, epochs, report=None, bf16=False):
    """The speech trainer's CPU epoch (under bfloat16 autocast with --bf16); returns per-epoch metrics."""
    accumulation = config["training"]["gradient_accumulation_steps"]
    ce = torch.nn.CrossEntropyLoss(ignore_index=tok.pad_id,
                                   label_smoothing=config["loss"].get("label_smoothing", 0.0))
    ctc_weight = config["loss"].get("ctc_weight", 0.0)
    ctc = torch.nn.CTCLoss(blank=tok.pad_id, zero_infinity=True) if ctc_weight > 0 else None
    optimizer = yarrowind(model, config["optimizer"])
    scheduler = create_scheduler(optimizer, config["scheduler"], train_loader, accumulation)
    history = []
    for epoch in range(epochs):
        clock = Clock()
        model.train()
        sums, tokens = [0.0, 0.0], 0
        optimizer.zero_grad()
        for i, (feats, shifted, golden, feat_lengths, lengths) in enumerate(train_loader):
            with torch.autocast("cpu", dtype=torch.bfloat16) if bf16 else contextlib.nullcontext():
                logits, _, ctc_inputs = model(feats, shifted, feat_lengths, lengths)
                ce_loss = ce(logits.view(-1, logits.size(-1)), golden.view(-1))
                loss = ce_loss
                if ctc is not None:
                    ctc_loss = ctc(ctc_inputs["log_probs"], golden, ctc_inputs["lengths"], lengths)
                    loss = ce_loss + ctc_weight * ctc_loss
                    sums[1] += ctc_loss.item() * lengths.sum().item()
            n = lengths.sum().item()
            sums[0] += ce_loss.item() * n
            tokens += n
            (loss / accumulation).backward()
            if (i + 1) % accumulation == 0:
                optimizer.step()
                scheduler.step()
                optimizer.zero_grad()
        if len(train_loader) % accumulation:
            optimizer.step()
            scheduler.step()
            optimizer.zero_grad()
        wall, cpu = clock.lap()
        row = {"epoch": epoch + 1, "ce": sums[0] / tokens, "ctc": sums[1] / tokens,
               "lr": optimizer.param_groups[0]["lr"], "wall": wall, "cpu": cpu,
               "load": os.getloadavg()[0]}
        if report:
            row.update(report(epoch))
        history.append(row)
        print("  ".join(f"{k} {v:.4g}" if isinstance(v, float) else f"{k} {v}" for k, v in row.items()),
              flush=True)
    return history


def edit_distance(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (ca != cb))
    return row[-1]


def error_rates(pairs):
    chars = sum(edit_distance(h, r) for r, h in pairs) / max(sum(len(r) for r, _ in pairs), 1)
    words = sum(edit_distance(h.split(), r.split()) for r, h in pairs) / max(
        sum(len(r.split()) for r, _ in pairs), 1)
    return 100 * chars, 100 * words


@torch.inference_mode()
def recognise(model, data_loader, tok, max_length, beam_width=1, lm=None, lm_weight=0.0,
              num_batches=None, ctc_weight=0.0):
    """(reference, hypothesis) pairs, decoded as the speech trainer's recognition does (with
    the CTC head's prefix scores weighed in by `ctc_weight`, as the demo's search does)."""
    model.eval()
    if lm is not None:
        lm.eval()
    gen = SequenceGenerator(score_fn=None, tokenizer=tok, max_length=max_length, device="cpu")
    pairs = []
    for b, (feats, _, golden, feat_lengths, _) in enumerate(data_loader):
        encoded, pad_mask, _, ctc = model.encode(feats, feat_lengths)
        ctc_scores = CtcPrefixScorer(ctc["log_probs"], ctc["lengths"], tok.pad_id, tok.eos_id)

        def score(x, encoded=encoded, pad_mask=pad_mask, ctc_scores=ctc_scores):
            out = model.score(x, encoded, pad_mask)
            if ctc_weight:
                out = out + ctc_weight * ctc_scores(x)
            return out + lm_weight * lm.score(x) if lm is not None else out

        gen.score_fn = score
        prompts = torch.full((feats.size(0), 1), tok.sos_id, dtype=torch.long)
        if beam_width > 1:
            seqs, _ = gen.generate_beam(prompts, beam_width=beam_width)
            seqs = seqs[:, 0]
        else:
            seqs, _ = gen.generate_greedy(prompts)
        hyps = gen.post_process_sequence(seqs, tok)
        refs = gen.post_process_sequence(golden, tok)
        for ref, hyp in zip(refs, hyps):
            pairs.append((tok.decode(ref.tolist(), skip_special_tokens=True),
                          tok.decode(hyp.tolist(), skip_special_tokens=True)))
        if num_batches is not None and b + 1 >= num_batches:
            break
    return pairs


def voice_rates(pairs, corpus):
    """{voice: (CER, WER)} of held-out (reference, hypothesis) pairs."""
    return {name: error_rates(rows) for name, rows in by_voice(pairs, lambda p: p[0], corpus).items()}


def train_lm(config, tok, corpus_root, epochs, path):
    """Trains (or loads from `path`) the character language model of the `lm` section."""
    lm_conf = config["lm"]
    model = DecoderOnlyTransformer(num_classes=tok.num_classes, **lm_conf["model"])
    if path and os.path.exists(path):
        model.load_state_dict(torch.load(path))
        print(f"language model: loaded {path}")
        return model, {}
    data = dict(lm_conf["data"]["dataset"], root=str(pathlib.Path(corpus_root) / "lm"))
    train = LMDataset("train-clean-100", {"dataset": data}, tok)
    dev = LMDataset("dev-clean", {"dataset": data}, tok)
    batch = lm_conf["data"]["batch_size"]
    train_loader = torch.utils.data.DataLoader(train, batch_size=batch, shuffle=True, collate_fn=train.collate_fn)
    dev_loader = torch.utils.data.DataLoader(dev, batch_size=batch, collate_fn=dev.collate_fn)
    ce = torch.nn.CrossEntropyLoss(ignore_index=tok.pad_id,
                                   label_smoothing=lm_conf["training"].get("label_smoothing", 0.0))
    optimizer = yarrowind(model, lm_conf["optimizer"])
    scheduler = create_scheduler(optimizer, lm_conf["scheduler"], train_loader)
    clock = Clock()
    for epoch in range(epochs):
        model.train()
        for shifted, golden, lengths in train_loader:
            logits, _ = model(shifted, target_lengths=lengths)
            loss = ce(logits.view(-1, logits.size(-1)), golden.view(-1))
            optimizer.zero_grad()
            loss.backward()
            optimizer.step()
            scheduler.step()
        model.eval()
        total = count = 0.0
        with torch.inference_mode():
            for shifted, golden, lengths in dev_loader:
                logits, _ = model(shifted, target_lengths=lengths)
                n = (golden != tok.pad_id).sum().item()
                total += torch.nn.functional.cross_entropy(
                    logits.view(-1, logits.size(-1)), golden.view(-1), ignore_index=tok.pad_id,
                    reduction="sum").item()
                count += n
        print(f"language model epoch {epoch + 1}: dev perplexity per character "
              f"{math.exp(total / count):.3f} ({clock.text()})", flush=True)
    if path:
        torch.save(model.state_dict(), path)
    return model, {"lm_dev_ppl": math.exp(total / count), "lm_wall": clock.lap()[0],
                   "lm_cpu": clock.lap()[1]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", type=pathlib.Path, default=ROOT / "examples" / "demo.yaml")
    parser.add_argument("--corpus", type=pathlib.Path, default=ROOT / "data" / "demo-corpus")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                        help="override a dotted configuration key (YAML value)")
    parser.add_argument("--epochs", type=int, default=None, help="default: the scheduler's T_max")
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--no-buckets", action="store_true", help="random batches instead of length buckets")
    parser.add_argument("--dev-every", type=int, default=0, help="greedy CER on held-out batches every N epochs")
    parser.add_argument("--beam", type=int, nargs="*", default=[4], help="beam widths to score")
    parser.add_argument("--lm-weights", type=float, nargs="*", default=[0.3])
    parser.add_argument("--ctc-weights", type=float, nargs="*", default=[],
                        help="CTC weights in beam search, each scored beside beam search alone")
    parser.add_argument("--lm-epochs", type=int, default=None)
    parser.add_argument("--lm-path", default=None, help="language model state to reuse or write")
    parser.add_argument("--eval-batch", type=int, default=50)
    parser.add_argument("--save", default=None, help="write the speech model's state here")
    parser.add_argument("--load", default=None, help="skip training: load the speech model's state")
    parser.add_argument("--out", default=None, help="append the results as one JSON line")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--ascending", type=int, default=0, help="passes in ascending length order first")
    parser.add_argument("--epoch-batches", type=int, default=None, help="batches per epoch (default: a pass)")
    parser.add_argument("--no-decode", action="store_true", help="train only")
    parser.add_argument("--bf16", action="store_true", help="train under bfloat16 autocast")
    parser.add_argument("--dev-search", action="store_true", help="score every search on dev-clean too")
    args = parser.parse_args()

    config = yaml.safe_load(args.config.read_text())
    for item in args.set:
        key, value = item.split("=", 1)
        set_key(config, key, value)
    config["data"]["dataset"]["root"] = str(args.corpus / "speech")
    if args.threads:
        torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    epochs = args.epochs or config["scheduler"]["cosine"]["T_max"]
    print(f"threads {torch.get_num_threads()}, load {os.getloadavg()}, epochs {epochs}")
    print(json.dumps({k: config[k] for k in ("model", "optimizer", "scheduler", "loss", "training")}))

    tok = ZelTokenizer()
    total = Clock()
    train_set, sets = speech_sets(config, tok, ["dev-clean", HELDOUT])
    max_length = max(train_set.text_max_len, *(s.text_max_len for s in sets.values())) + 1
    train_loader = loader(train_set, config["data"]["batch_size"], not args.no_buckets, args.seed, True,
                          ascending_passes=args.ascending, epoch_batches=args.epoch_batches)
    eval_loaders = {p: loader(s, args.eval_batch, True) for p, s in sets.items()}
    model = build_speech_model(config, tok, max_length)
    print(f"speech model: {sum(p.numel() for p in model.parameters()):,} parameters")

    def report(epoch):
        if not args.dev_every or (epoch + 1) % args.dev_every:
            return {}
        clock = Clock()
        cer, wer = error_rates(recognise(model, eval_loaders[HELDOUT], tok, max_length, num_batches=2))
        return {"heldout_greedy_cer": cer, "eval_wall": clock.lap()[0]}

    results = {"config": copy.deepcopy(config), "epochs": epochs, "corpus": str(args.corpus),
               "threads": torch.get_num_threads()}
    clock = Clock()
    if args.load:
        model.load_state_dict(torch.load(args.load))
    else:
        results["history"] = train_speech(model, train_loader, config, tok, epochs, report, args.bf16)
    results["train_wall"], results["train_cpu"] = clock.lap()
    print(f"speech training: {clock.text()}")
    if args.save:
        torch.save(model.state_dict(), args.save)

    if args.no_decode:
        args.lm_weights, args.beam, decode_partitions = [], [], ()
    else:
        decode_partitions = ("dev-clean", HELDOUT)
    lm = None
    if args.lm_weights:
        clock = Clock()
        lm, info = train_lm(config, tok, args.corpus, args.lm_epochs or config["lm"]["scheduler"]["cosine"]["T_max"],
                            args.lm_path)
        results.update(info)
        print(f"language model: {clock.text()}")

    settings = [("greedy", 1, 0.0, 0.0)] + [(f"beam_{w}", w, 0.0, 0.0) for w in args.beam]
    settings += [(f"beam_{w}+ctc{c}", w, 0.0, c) for w in args.beam for c in args.ctc_weights]
    if lm is not None:
        settings += [(f"beam_{w}+lm{x}", w, x, 0.0) for w in args.beam for x in args.lm_weights]
        settings += [(f"beam_{w}+ctc{c}+lm{x}", w, x, c) for w in args.beam for c in args.ctc_weights
                     for x in args.lm_weights]
    results["decoding"] = {}
    for partition in decode_partitions:
        for name, width, weight, ctc_weight in settings:
            if partition == "dev-clean" and name != "greedy" and not args.dev_search:
                continue
            clock = Clock()
            pairs = recognise(model, eval_loaders[partition], tok, max_length, width,
                              lm if weight else None, weight, ctc_weight=ctc_weight)
            cer, wer = error_rates(pairs)
            wall, cpu = clock.lap()
            entry = {"cer": cer, "wer": wer, "wall": wall, "cpu": cpu}
            print(f"{partition:15s} {name:14s} CER {cer:5.1f}%  WER {wer:5.1f}%  ({clock.text()})", flush=True)
            if partition == HELDOUT:
                entry["voices"] = voice_rates(pairs, args.corpus)
                print("    " + ", ".join(f"{v} {c:.1f}" for v, (c, _) in entry["voices"].items()))
            results["decoding"][f"{partition}/{name}"] = entry
            if partition == HELDOUT and name == "greedy":
                for ref, hyp in pairs[:3]:
                    print(f"    {ref}\n  > {hyp}")
    results["total_wall"], results["total_cpu"] = total.lap()
    print(f"total: {total.text()}")
    if args.out:
        with open(args.out, "a") as out:
            out.write(json.dumps(results) + "\n")


if __name__ == "__main__":
    main()
