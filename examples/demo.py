"""End-to-end demo on a synthetic corpus, small enough for a CPU in about a minute.

1. writes a corpus: each character of a transcript becomes a few frames of its
   own 80-bin pattern plus noise, so the speech task is learnable;
2. builds the speech and text datasets, an EncoderDecoderTransformer and a
   DecoderOnlyTransformer, optimizers with yarrowind and schedules with
   create_scheduler;
3. trains the speech model with cross-entropy plus CTC, then recognises the
   held-out partition by greedy and beam search;
4. trains the language model briefly and samples text from drawn prompts;
5. recovers hidden queries of the NumPy attention operator by gradient
   descent on its hand-written backward.
"""

import argparse
import math
import pathlib
import random
import sys
import tempfile

import numpy as np
import torch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))  # the built tree

from corvantis.data.dunskell import LMDataset
from corvantis.data.pimbrook import ASRDataset
from corvantis.data.tokenizer import ZelTokenizer
from corvantis.decoding.quillane import SequenceGenerator
from corvantis.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from corvantis.utils import create_scheduler, yarrowind
from lumbrix.nn.gorsemont import ScaledDotProductAttention

WORDS = ["CAT", "DOG", "SUN", "RAIN", "TREE", "BIRD", "FISH", "STAR", "MOON", "WIND"]
BINS, FRAMES_PER_CHAR = 80, 4


def sentence(rng):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 4)))


def write_corpus(root, sizes, seed=0):
    """Feature and transcript .npy files per partition; features follow the characters."""
    rng = random.Random(seed)
    patterns = np.random.default_rng(seed).normal(size=(128, BINS)).astype(np.float32)
    noise = np.random.default_rng(seed + 1)
    for partition, count in sizes.items():
        (root / partition / "fbank").mkdir(parents=True)
        (root / partition / "text").mkdir(parents=True)
        for i in range(count):
            text = sentence(rng)
            frames = np.repeat(patterns[[ord(c) for c in text]], FRAMES_PER_CHAR, axis=0)
            frames = frames + 0.3 * noise.normal(size=frames.shape).astype(np.float32)
            np.save(root / partition / "fbank" / f"{i:05d}.npy", frames.T.copy())
            np.save(root / partition / "text" / f"{i:05d}.npy", np.array(list(text)))
        # the text corpus of the language model: transcripts only
        (root / "lm" / partition).mkdir(parents=True)
        for i in range(count):
            np.save(root / "lm" / partition / f"{i:05d}.npy", np.array(list(sentence(rng))))


def speech_config(root):
    return {
        "root": str(root), "subset_size": -1, "num_feats": BINS, "norm": "global_mvn",
        "specaug": True,
        "specaug_conf": {"apply_freq_mask": True, "freq_mask_width_range": 5, "num_freq_mask": 1,
                         "apply_time_mask": True, "time_mask_width_range": 4, "num_time_mask": 1},
    }


def optimizer_config(lr):
    return {"name": "adamw", "lr": lr, "weight_decay": 0.01,
            "adamw": {"betas": (0.9, 0.98), "eps": 1e-8, "amsgrad": False}}


def scheduler_config(epochs):
    return {"name": "cosine", "cosine": {"T_max": epochs, "eta_min": 1e-5},
            "warmup": {"enabled": True, "epochs": 1, "start_factor": 0.1, "end_factor": 1.0}}


def speech_loss(model, batch, pad_id):
    feats, shifted, golden, feat_lengths, lengths = batch
    logits, _, ctc = model(feats, shifted, feat_lengths, lengths)
    ce = torch.nn.functional.cross_entropy(
        logits.reshape(-1, logits.size(-1)), golden.reshape(-1), ignore_index=pad_id)
    ctc_loss = torch.nn.functional.ctc_loss(
        ctc["log_probs"], golden, ctc["lengths"], lengths, blank=pad_id, zero_infinity=True)
    return ce + 0.3 * ctc_loss


def train(model, loader, step_loss, epochs, lr, label):
    optimizer = yarrowind(model, optimizer_config(lr))
    scheduler = create_scheduler(optimizer, scheduler_config(epochs), loader)
    model.train()
    for epoch in range(1, epochs + 1):
        total, count = 0.0, 0
        for batch in loader:
            optimizer.zero_grad()
            loss = step_loss(model, batch)
            loss.backward()
            torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
            optimizer.step()
            scheduler.step()
            total, count = total + loss.item(), count + 1
        print(f"[{label}] epoch {epoch}/{epochs}: loss {total / count:.4f}")


def edit_distance(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (ca != cb))
    return row[-1]


@torch.inference_mode()
def recognise(model, loader, tok, beam_width):
    model.eval()
    errors = chars = 0
    shown = 0
    for feats, _, golden, feat_lengths, lengths in loader:
        encoded, pad_mask, _, _ = model.encode(feats, feat_lengths)
        gen = SequenceGenerator(score_fn=lambda x: model.score(x, encoded, pad_mask),
                                tokenizer=tok, max_length=60, device="cpu")
        prompts = torch.full((feats.size(0), 1), tok.sos_id, dtype=torch.long)
        if beam_width == 1:
            seqs, _ = gen.generate_greedy(prompts)
        else:
            seqs, _ = gen.generate_beam(prompts, beam_width=beam_width)
            seqs = seqs[:, 0]
        for seq, ref, n in zip(gen.post_process_sequence(seqs, tok), golden, lengths):
            hyp = tok.decode(seq.tolist(), skip_special_tokens=True)
            truth = tok.decode(ref[:n].tolist(), skip_special_tokens=True)
            errors, chars = errors + edit_distance(hyp, truth), chars + len(truth)
            if shown < 3:
                print(f"    {truth!r:28} -> {hyp!r}")
                shown += 1
    return 100.0 * errors / max(chars, 1)


def run_speech(root, tok, epochs):
    train_set = ASRDataset("train-clean-100", speech_config(root), tok, True)
    dev_set = ASRDataset("dev-clean", speech_config(root), tok, False,
                         (train_set.global_mean, train_set.global_std))
    train_loader = torch.utils.data.DataLoader(train_set, batch_size=16, shuffle=True,
                                               collate_fn=train_set.collate_fn)
    dev_loader = torch.utils.data.DataLoader(dev_set, batch_size=16, collate_fn=dev_set.collate_fn)
    model = EncoderDecoderTransformer(
        input_dim=BINS, num_classes=tok.num_classes, d_model=96, num_encoder_layers=2,
        num_decoder_layers=2, num_encoder_heads=4, num_decoder_heads=4, d_ff_encoder=192,
        d_ff_decoder=192, dropout=0.05, max_len=train_set.text_max_len, time_reduction=2,
        reduction_method="conv")
    print(f"speech model: {sum(p.numel() for p in model.parameters()):,} parameters")
    train(model, train_loader, lambda m, b: speech_loss(m, b, tok.pad_id), epochs, 2e-3, "speech")
    for beams in (1, 4):
        print(f"  recognising dev-clean, {'greedy' if beams == 1 else f'beam {beams}'}:")
        cer = recognise(model, dev_loader, tok, beams)
        print(f"  character error rate: {cer:.1f}%")


def lm_loss(model, batch):
    shifted, golden, lengths = batch
    logits, _ = model(shifted, target_lengths=lengths)
    return torch.nn.functional.cross_entropy(
        logits.reshape(-1, logits.size(-1)), golden.reshape(-1), ignore_index=0)


@torch.inference_mode()
def sample_text(model, dataset, tok):
    model.eval()
    prompts, _ = dataset.sample_prompts(num_samples=3, prompt_length=4, seed=7)
    gen = SequenceGenerator(score_fn=model.score, tokenizer=tok, max_length=40, device="cpu")
    torch.manual_seed(0)
    seqs, scores = gen.generate_sample(prompts, temperature=0.8, top_k=10, top_p=0.95)
    for seq, score in zip(gen.post_process_sequence(seqs, tok), scores):
        text = tok.decode(seq.tolist(), skip_special_tokens=True)
        print(f"    {text!r} (log-probability {score.item():.2f})")


def run_language_model(root, tok, epochs):
    config = {"dataset": {"root": str(root / "lm"), "subset_size": -1}}
    train_set = LMDataset("train-clean-100", config, tok)
    loader = torch.utils.data.DataLoader(train_set, batch_size=32, shuffle=True,
                                         collate_fn=train_set.collate_fn)
    model = DecoderOnlyTransformer(num_classes=tok.num_classes, max_len=64, d_model=64,
                                   num_layers=2, num_heads=4, d_ff=128, dropout=0.05)
    train(model, loader, lm_loss, epochs, 3e-3, "language model")
    print(f"  perplexity per token on the last batch: {math.exp(lm_loss(model.eval(), next(iter(loader))).item()):.2f}")
    print("  sampled continuations of drawn prompts:")
    sample_text(model, train_set, tok)


def fit_attention_queries(steps=500, lr=0.5):
    """Finds queries whose causal attention output matches that of hidden ones."""
    rng = np.random.default_rng(0)
    K, V, hidden = (rng.standard_normal((4, 16, 8)) for _ in range(3))
    mask = np.triu(np.ones((16, 16), dtype=bool), k=1)
    attention = ScaledDotProductAttention()
    target = attention.forward(hidden, K, V, mask)
    Q = np.zeros_like(hidden)
    print("array attention (NumPy, 4 heads, causal): fitting queries by gradient descent")
    for step in range(steps + 1):
        error = attention.forward(Q, K, V, mask) - target
        if step % 100 == 0:
            print(f"  step {step:3d}: loss {0.5 * np.sum(error ** 2):.4f}")
        d_Q, _, _ = attention.backward(error)  # loss = sum(error^2) / 2
        Q -= lr * d_Q


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=8)
    parser.add_argument("--utterances", type=int, default=480)
    args = parser.parse_args()
    torch.manual_seed(0)
    tok = ZelTokenizer()
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        write_corpus(root, {"train-clean-100": args.utterances, "dev-clean": 48})
        run_speech(root, tok, args.epochs)
        run_language_model(root, tok, max(2, args.epochs // 2))
    fit_attention_queries()


if __name__ == "__main__":
    main()
