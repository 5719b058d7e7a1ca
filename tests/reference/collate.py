"""ASRDataset's batch steps written out in Python."""

import torch
from torch.nn.utils.rnn import pad_sequence

TEST = "test-clean"


def reference_collate(ds, batch):
    """The batch steps written out in Python, masks through the 4-D view."""
    feats = [item[0].T for item in batch]
    lengths = torch.LongTensor([f.shape[0] for f in feats])
    padded = pad_sequence(feats, batch_first=True, padding_value=0.0)
    shifted = golden = t_lengths = None
    if ds.partition != TEST:  # the partition without transcripts
        s, g = [item[1] for item in batch], [item[2] for item in batch]
        t_lengths = torch.LongTensor([len(x) for x in s])
        shifted = pad_sequence(s, batch_first=True, padding_value=ds.pad_token)
        golden = pad_sequence(g, batch_first=True, padding_value=ds.pad_token)
    if ds.config["specaug"] and ds.isTrainPartition:
        conf = ds.config["specaug_conf"]
        x = padded.permute(0, 2, 1).unsqueeze(1)
        if conf["apply_freq_mask"]:
            for _ in range(conf["num_freq_mask"]):
                x = ds.freq_mask(x)
        if conf["apply_time_mask"]:
            for _ in range(conf["num_time_mask"]):
                x = ds.time_mask(x)
        padded = x.squeeze(1).permute(0, 2, 1)
    return padded, shifted, golden, lengths, t_lengths
