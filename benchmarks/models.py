"""Forward plus backward of a 12-layer encoder and a 6-layer decoder stack.

The native layers (corvantis.model.ashvenny / wendlash) against the same
stack written here as plain Python nn.Modules, with the same weights (loaded
through the same state-dict keys). Outputs and all gradients are checked
equal within 1e-6 before timing. The native glue calls the same torch.nn
children as the Python version, so the ratio should be 1 within noise.

    /usr/bin/python3 benchmarks/models.py [--rounds N] [--device cpu|cuda]
"""

import argparse
import os
import pathlib
import statistics
import sys
import time

# OpenBLAS's own thread pool on top of PyTorch's makes the two spin against
# each other on a busy machine (seconds of system time, runs varying by 40%);
# one BLAS thread keeps each run's time steady. Read when torch loads BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import torch  # noqa: E402
from torch import nn  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))  # the built tree

from corvantis.model.ashvenny import SelfAttentionEncoderLayer  # noqa: E402
from corvantis.model.wendlash import CrossAttentionDecoderLayer  # noqa: E402

D_MODEL, HEADS, D_FF, DROPOUT = 256, 4, 1024, 0.1
ENC_LAYERS, DEC_LAYERS = 12, 6
BATCH, FRAMES, TOKENS = 16, 400, 100


# ---- the baseline: plain Python modules with the same names -------------------

class PySelfAttention(nn.Module):
    def __init__(self, d_model, num_heads, dropout):
        super().__init__()
        self.mha = nn.MultiheadAttention(embed_dim=d_model, num_heads=num_heads,
                                         dropout=dropout, batch_first=True)
        self.norm = nn.LayerNorm(d_model)
        self.dropout = nn.Dropout(dropout)

    def forward(self, x, key_padding_mask=None, attn_mask=None):
        x_norm = self.norm(x)
        x_mha, weights = self.mha(query=x_norm, key=x_norm, value=x_norm,
                                  key_padding_mask=key_padding_mask, attn_mask=attn_mask,
                                  need_weights=True, average_attn_weights=True)
        return x + self.dropout(x_mha), weights


class PyCrossAttention(PySelfAttention):
    def forward(self, x, y, key_padding_mask=None, attn_mask=None):
        x_norm = self.norm(x)
        x_mha, weights = self.mha(query=x_norm, key=y, value=y,
                                  key_padding_mask=key_padding_mask, attn_mask=attn_mask,
                                  need_weights=True, average_attn_weights=True)
        return x + self.dropout(x_mha), weights


class PyFeedForward(nn.Module):
    def __init__(self, d_model, d_ff, dropout):
        super().__init__()
        self.ffn = nn.Sequential(nn.Linear(d_model, d_ff), nn.GELU(), nn.Dropout(dropout),
                                 nn.Linear(d_ff, d_model))
        self.norm = nn.LayerNorm(d_model)
        self.dropout = nn.Dropout(dropout)

    def forward(self, x):
        return x + self.dropout(self.ffn(self.norm(x)))


class PyEncoderLayer(nn.Module):
    def __init__(self, d_model, num_heads, d_ff, dropout):
        super().__init__()
        self.self_attn = PySelfAttention(d_model, num_heads, dropout)
        self.ffn = PyFeedForward(d_model, d_ff, dropout)

    def forward(self, x, key_padding_mask=None):
        x, weights = self.self_attn(x, key_padding_mask=key_padding_mask)
        return self.ffn(x), weights


class PyDecoderLayer(nn.Module):
    def __init__(self, d_model, num_heads, d_ff, dropout):
        super().__init__()
        self.self_attn = PySelfAttention(d_model, num_heads, dropout)
        self.cross_attn = PyCrossAttention(d_model, num_heads, dropout)
        self.ffn = PyFeedForward(d_model, d_ff, dropout)

    def forward(self, x, enc_output, dec_key_padding_mask=None, enc_key_padding_mask=None,
                attn_mask=None):
        x, self_w = self.self_attn(x, key_padding_mask=dec_key_padding_mask, attn_mask=attn_mask)
        x, cross_w = self.cross_attn(x, enc_output, key_padding_mask=enc_key_padding_mask,
                                     attn_mask=None)
        return self.ffn(x), self_w, cross_w


class Stack(nn.Module):
    def __init__(self, encoder_layer, decoder_layer):
        super().__init__()
        args = (D_MODEL, HEADS, D_FF, DROPOUT)
        self.enc_layers = nn.ModuleList([encoder_layer(*args) for _ in range(ENC_LAYERS)])
        self.dec_layers = nn.ModuleList([decoder_layer(*args) for _ in range(DEC_LAYERS)])

    def forward(self, src, src_pad, tgt, tgt_pad, causal):
        for layer in self.enc_layers:
            src, _ = layer(src, key_padding_mask=src_pad)
        for layer in self.dec_layers:
            tgt, _, _ = layer(tgt, src, dec_key_padding_mask=tgt_pad,
                              enc_key_padding_mask=src_pad, attn_mask=causal)
        return src, tgt


# ---- measuring --------------------------------------------------------------------

def inputs(device):
    g = torch.Generator().manual_seed(1)
    src = torch.randn(BATCH, FRAMES, D_MODEL, generator=g).to(device)
    tgt = torch.randn(BATCH, TOKENS, D_MODEL, generator=g).to(device)
    src_len = torch.randint(FRAMES // 2, FRAMES + 1, (BATCH,), generator=g).to(device)
    tgt_len = torch.randint(TOKENS // 2, TOKENS + 1, (BATCH,), generator=g).to(device)
    src_pad = torch.arange(FRAMES, device=device)[None] >= src_len[:, None]
    tgt_pad = torch.arange(TOKENS, device=device)[None] >= tgt_len[:, None]
    causal = torch.ones(TOKENS, TOKENS, dtype=torch.bool, device=device).triu(1)
    return src, src_pad, tgt, tgt_pad, causal


def step(model, data):
    """One forward and backward pass; returns the outputs and all gradients."""
    torch.manual_seed(0)  # the same dropout masks for both stacks
    model.zero_grad(set_to_none=True)
    src = data[0].clone().requires_grad_()
    tgt = data[2].clone().requires_grad_()
    enc, dec = model(src, data[1], tgt, data[3], data[4])
    (enc.square().mean() + dec.square().mean()).backward()
    return [enc, dec, src.grad, tgt.grad] + [p.grad for p in model.parameters()]


def timed(model, data, device):
    if device.type == "cuda":
        torch.cuda.synchronize()
    start = time.perf_counter()
    step(model, data)
    if device.type == "cuda":
        torch.cuda.synchronize()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=6, help="timed pairs")
    parser.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    opts = parser.parse_args()
    device = torch.device(opts.device)

    torch.manual_seed(0)
    native = Stack(SelfAttentionEncoderLayer, CrossAttentionDecoderLayer).to(device).train()
    python = Stack(PyEncoderLayer, PyDecoderLayer).to(device).train()
    python.load_state_dict(native.state_dict())  # same keys: the checkpoint format
    data = inputs(device)

    worst = max((a - b).abs().max().item() for a, b in zip(step(native, data), step(python, data)))
    print(f"device {device}, threads {torch.get_num_threads()} "
          f"(OpenBLAS {os.environ['OPENBLAS_NUM_THREADS']}); encoder {ENC_LAYERS} layers, "
          f"decoder {DEC_LAYERS} layers, d_model {D_MODEL}, batch {BATCH}, {FRAMES} frames, "
          f"{TOKENS} target tokens")
    print(f"largest difference of outputs and gradients: {worst:.3g}")
    if worst > 1e-6:
        raise SystemExit("native and Python stacks disagree")

    # Adjacent runs see the same machine load: the ratio is taken per pair
    # (order alternating), and the median over pairs is reported.
    times = {"native": [], "python": []}
    for r in range(opts.rounds):
        order = ("native", "python") if r % 2 == 0 else ("python", "native")
        for name in order:
            times[name].append(timed(native if name == "native" else python, data, device))
    for name, t in times.items():
        print(f"{name:>6}: median {statistics.median(t) * 1e3:9.1f} ms, "
              f"min {min(t) * 1e3:9.1f} ms over {len(t)} runs")
    ratios = [n / p for n, p in zip(times["native"], times["python"])]
    print("per-pair ratios: " + " ".join(f"{r:.3f}" for r in ratios))
    print(f"native / python time ratio (median over pairs): {statistics.median(ratios):.3f}")

if __name__ == "__main__":
    main()
