"""Beam search with the demo's recogniser: score() reusing earlier positions against the full pass.

Without autograd, `EncoderDecoderTransformer.score` and `DecoderOnlyTransformer.score`
keep each decoder layer's keys and values and run only the new position of a
prefix that extends one of the last call's. The baseline is the same call with
autograd on, which takes the full pass over every prefix at every step (as
every call did before). Both searches run on the same model, encoder output
and prompts; their sequences and scores are checked equal before the times
are compared. Model: examples/demo.yaml's (untrained, seeded), 20 utterances of
the given frames, beam 4, to a length limit of frames / 3 + 2 characters (the
demo's decoding bound); the language model's search runs on the same prompts.

    /usr/bin/python3 benchmarks/beam_scoring.py [--frames 400] [--threads 6]
"""

import argparse
import pathlib
import sys
import time

import torch
import yaml

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from corvantis.data.tokenizer import ZelTokenizer  # noqa: E402
from corvantis.decoding.quillane import SequenceGenerator  # noqa: E402
from corvantis.model import DecoderOnlyTransformer, EncoderDecoderTransformer  # noqa: E402


def search(score, tok, prompts, length, beam, full):
    gen = SequenceGenerator(score_fn=score, tokenizer=tok, max_length=length)
    start = time.perf_counter()
    with torch.enable_grad() if full else torch.no_grad():
        seqs, scores = gen.generate_beam(prompts, beam_width=beam)
    return time.perf_counter() - start, seqs, scores.detach()


def compare(name, score, tok, prompts, length, beam):
    fast, seqs, scores = search(score, tok, prompts, length, beam, full=False)
    slow, seqs_full, scores_full = search(score, tok, prompts, length, beam, full=True)
    assert torch.equal(seqs, seqs_full), name
    assert torch.allclose(scores, scores_full, atol=1e-4), name
    print(f"{name:<28} full pass {slow:7.2f} s   reusing {fast:7.2f} s   {slow / fast:5.1f}x", flush=True)
    return slow / fast


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=400)
    parser.add_argument("--threads", type=int, default=6)
    parser.add_argument("--beam", type=int, default=4)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    config = yaml.safe_load((ROOT / "examples" / "demo.yaml").read_text())
    tok = ZelTokenizer()
    length = args.frames // 3 + 2
    torch.manual_seed(0)
    speech = EncoderDecoderTransformer(input_dim=config["data"]["num_feats"], num_classes=tok.num_classes,
                                       max_len=length, **config["model"]).eval()
    text = DecoderOnlyTransformer(num_classes=tok.num_classes, **config["lm"]["model"]).eval()
    feats = torch.randn(20, args.frames, config["data"]["num_feats"])
    with torch.no_grad():
        enc, pad, _, _ = speech.encode(feats, torch.full((20,), args.frames))
    prompts = torch.full((20, 1), tok.sos_id, dtype=torch.long)
    print(f"{args.threads} threads, 20 utterances of {args.frames} frames, beam {args.beam}, "
          f"up to {length} tokens")
    ratios = [compare("speech model", lambda x: speech.score(x, enc, pad), tok, prompts, length, args.beam),
              compare("language model", text.score, tok, prompts, min(length, text.max_len), args.beam)]
    print(f"beam search, full pass / reusing: speech {ratios[0]:.1f}x, language model {ratios[1]:.1f}x")


if __name__ == "__main__":
    main()
