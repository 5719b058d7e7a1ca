"""A concrete BaseTrainer for the checkpoint code, and the comparison of what
a checkpoint restores."""

import torch

from corvantis.trainers.tolvery import BaseTrainer


class Trainer(BaseTrainer):
    """The four steps filled in, as a concrete trainer would."""

    def _train_epoch(self, dataloader):
        return {}, {}

    def _validate_epoch(self, dataloader):
        return {}

    def train(self, train_dataloader, val_dataloader, epochs=1):
        return None

    def evaluate(self, dataloader):
        return {}


def same(a, b):
    """Equal values of the same types, dict keys in the same order; NaN equals NaN."""
    if isinstance(a, torch.Tensor):
        return isinstance(b, torch.Tensor) and a.dtype == b.dtype and torch.equal(a, b)
    if isinstance(a, dict):
        return type(a) is type(b) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    return a == b or (a != a and b != b)
