"""Corpus to recognised text in a few seconds on a CPU, on a corpus written here."""
import pathlib
import tempfile

import numpy as np
import torch
import torch.nn.functional as F

from corvantis.data.pimbrook import ASRDataset
from corvantis.data.tokenizer import ZelTokenizer
from corvantis.decoding.quillane import SequenceGenerator
from corvantis.model import EncoderDecoderTransformer
from corvantis.utils import create_scheduler, yarrowind

torch.manual_seed(0)

# A corpus: per utterance, features (80 bins, frames) under <root>/<partition>/fbank and
# its transcript's characters under <root>/<partition>/text, paired by sorted file name.
# The features are noise, so what is recognised at the end is too.
root = pathlib.Path(tempfile.mkdtemp())
rng = np.random.default_rng(0)
for partition in ("train-clean-100", "dev-clean"):
    (root / partition / "fbank").mkdir(parents=True)
    (root / partition / "text").mkdir(parents=True)
    for i, text in enumerate(["HELLO WORLD", "GOOD MORNING", "SEE YOU", "THANK YOU"]):
        feats = rng.normal(size=(80, 8 * len(text))).astype(np.float32)
        np.save(root / partition / "fbank" / f"{i:03d}.npy", feats)
        np.save(root / partition / "text" / f"{i:03d}.npy", np.array(list(text)))

# The dataset dictionary (keys in docs/reference.md); the training partition computes
# the normalisation statistics and the others are given them.
data_config = {
    "root": str(root), "subset_size": -1, "num_feats": 80, "norm": "global_mvn",
    "specaug": True,
    "specaug_conf": {"apply_freq_mask": True, "freq_mask_width_range": 5, "num_freq_mask": 1,
                     "apply_time_mask": True, "time_mask_width_range": 4, "num_time_mask": 1},
}
tok = ZelTokenizer()                         # <pad> <sos> <eos> <unk>, space, ', A-Z
train = ASRDataset("train-clean-100", data_config, tok, True)
dev = ASRDataset("dev-clean", data_config, tok, False, (train.global_mean, train.global_std))
loader = torch.utils.data.DataLoader(train, batch_size=2, shuffle=True, collate_fn=train.collate_fn)

model = EncoderDecoderTransformer(
    input_dim=80, num_classes=tok.num_classes,    # features per frame, vocabulary
    d_model=64, num_encoder_layers=2, num_decoder_layers=2,
    num_encoder_heads=4, num_decoder_heads=4, d_ff_encoder=128, d_ff_decoder=128,
    dropout=0.1,          # every layer, and the embedding dropout `model.dropout`
    max_len=train.text_max_len,                   # longest transcript the model is meant for
    time_reduction=4, reduction_method="lstm")    # front-end: "conv", "lstm" or "both"

config = {
    "optimizer": {"name": "adamw", "lr": 1e-3, "weight_decay": 0.01,
                  "adamw": {"betas": (0.9, 0.999), "eps": 1e-8, "amsgrad": False}},
    "scheduler": {"name": "cosine", "cosine": {"T_max": 5, "eta_min": 1e-5}},   # T_max in epochs
}
optimizer = yarrowind(model, config["optimizer"])            # prints its configuration
scheduler = create_scheduler(optimizer, config["scheduler"], loader)

model.train()
for epoch in range(5):
    for feats, targets_shifted, targets_golden, feat_lengths, transcript_lengths in loader:
        logits, attention, ctc = model(feats, targets_shifted, feat_lengths, transcript_lengths)
        loss = F.cross_entropy(logits.flatten(0, 1), targets_golden.flatten(), ignore_index=tok.pad_id)
        loss = loss + 0.3 * F.ctc_loss(ctc["log_probs"], targets_golden, ctc["lengths"],
                                       transcript_lengths, blank=tok.pad_id, zero_infinity=True)
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()
        scheduler.step()
    print(f"epoch {epoch + 1}: loss {loss.item():.3f}")

model.eval()                                 # no dropout while decoding
dev_loader = torch.utils.data.DataLoader(dev, batch_size=4, collate_fn=dev.collate_fn)
feats, _, _, feat_lengths, _ = next(iter(dev_loader))
with torch.inference_mode():
    encoded, pad_mask, _, _ = model.encode(feats, feat_lengths)
    gen = SequenceGenerator(score_fn=lambda x: model.score(x, encoded, pad_mask),
                            tokenizer=tok, max_length=train.text_max_len + 1)
    prompts = torch.full((feats.size(0), 1), tok.sos_id, dtype=torch.long)
    seqs, scores = gen.generate_beam(prompts, beam_width=3)  # or generate_greedy / generate_sample
texts = [tok.decode(s.tolist(), skip_special_tokens=True)
         for s in gen.post_process_sequence(seqs[:, 0], tok)]
print("recognised:", texts)
