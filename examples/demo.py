"""Smoke run of what the toolkit has so far: tokenizer and array softmax."""

import numpy as np

from corvantis.data.tokenizer import ZelTokenizer
from lumbrix.nn.activation import Softmax


def main():
    tok = ZelTokenizer()
    text = "speech recognition"
    ids = [tok.sos_id] + tok.encode(text) + [tok.eos_id]
    print(f"vocabulary: {tok.num_classes} tokens")
    print(f"encode({text!r}) -> {ids}")
    print(f"decode -> {tok.decode(ids, skip_special_tokens=True)!r}")
    scores = np.random.default_rng(0).normal(size=(2, 4))
    probs = Softmax(dim=-1).forward(scores)
    print(f"softmax rows sum to {probs.sum(axis=-1)}")


if __name__ == "__main__":
    main()
