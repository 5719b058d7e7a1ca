"""A stand-in for tqdm that records what a training loop shows."""


class Bar:
    """Records its keywords, each postfix (a dict, in the order given), its
    updates and its closing."""

    made = []

    def __init__(self, **kwargs):
        self.kwargs, self.postfixes, self.updates, self.closed = kwargs, [], 0, False
        Bar.made.append(self)

    def set_postfix(self, **fields):
        self.postfixes.append(fields)

    def update(self):
        self.updates += 1

    def close(self):
        self.closed = True


def record_bars(monkeypatch, module):
    """Puts Bar in place of module.tqdm; returns the list of the bars made from then on."""
    Bar.made = []
    monkeypatch.setattr(module, "tqdm", Bar)
    return Bar.made
