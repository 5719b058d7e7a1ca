"""examples/ctc_search.py: CTC prefix increments against every alignment counted out."""

import importlib.util
import itertools
import math
import pathlib

import pytest
import torch

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
_spec = importlib.util.spec_from_file_location("ctc_search", EXAMPLES / "ctc_search.py")
cs = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(cs)

BLANK, SOS, EOS, VOCAB = 0, 1, 2, 5


def collapse(path):
    out, prev = [], None
    for s in path:
        if s != prev and s != BLANK:
            out.append(s)
        prev = s
    return out


def brute(log_probs, length, labels, complete):
    """log of the probability that the first `length` frames read `labels` (exactly, or as a start)."""
    total = 0.0
    for path in itertools.product(range(VOCAB), repeat=length):
        text = collapse(path)
        if (text == labels) if complete else (text[:len(labels)] == labels):
            total += math.exp(sum(log_probs[t, s].item() for t, s in enumerate(path)))
    return math.log(total) if total > 0 else -math.inf


def expected(log_probs, length, prefix):
    """The increments after `prefix` (start token first) for every token, brute force."""
    labels = prefix[1:]
    base = brute(log_probs, length, labels, complete=False)
    out = []
    for c in range(VOCAB):
        if c == BLANK:
            out.append(cs.FLOOR)
        elif c == EOS:
            out.append(brute(log_probs, length, labels, complete=True) - base)
        else:
            out.append(brute(log_probs, length, labels + [c], complete=False) - base)
    return torch.tensor(out).clamp(min=cs.FLOOR)


@pytest.fixture
def audio():
    """Two utterances of 5 and 3 frames (the second padded), two beams each."""
    torch.manual_seed(0)
    log_probs = torch.log_softmax(torch.randn(5, 2, VOCAB) * 2, -1)
    return log_probs, torch.tensor([5, 3])


def test_increments_follow_a_growing_search(audio):
    """Three calls as a beam search makes them: rows re-ordered, a token repeated, the end scored."""
    log_probs, lengths = audio
    scorer = cs.CtcPrefixScorer(log_probs, lengths, BLANK, EOS)
    steps = [[[SOS]] * 4,
             [[SOS, 3], [SOS, 4], [SOS, 4], [SOS, 3]],
             [[SOS, 4, 4], [SOS, 3, 3], [SOS, 4, 3], [SOS, 3, 4]]]
    for rows in steps:
        got = scorer(torch.tensor(rows))
        for r, prefix in enumerate(rows):
            utterance = r // 2
            want = expected(log_probs[:, utterance], int(lengths[utterance]), prefix)
            assert torch.allclose(got[r], want, atol=1e-4), (rows, r)


def test_increments_are_a_distribution(audio):
    """Every token and the end, exponentiated, sum to one (the blank has no share), where the
    CTC head never reads the end token as a letter, as a trained one does not."""
    log_probs, lengths = audio
    log_probs = torch.log_softmax(log_probs.index_fill(-1, torch.tensor([EOS]), -50.0), -1)
    scorer = cs.CtcPrefixScorer(log_probs, lengths, BLANK, EOS)
    scorer(torch.tensor([[SOS]] * 2))
    got = scorer(torch.tensor([[SOS, 3], [SOS, 4]]))
    assert torch.allclose(got.exp().sum(-1), torch.ones(2), atol=1e-5)


def test_an_unknown_prefix_is_left_unscored(audio):
    """A row the last call never extended gets no CTC opinion rather than another row's."""
    log_probs, lengths = audio
    scorer = cs.CtcPrefixScorer(log_probs, lengths, BLANK, EOS)
    scorer(torch.tensor([[SOS], [SOS]]))
    got = scorer(torch.tensor([[SOS, 3], [SOS, 3]]))
    again = scorer(torch.tensor([[SOS, 4, 3], [SOS, 3, 3]]))  # [SOS, 4] was not a row
    assert torch.allclose(again[1], expected(log_probs[:, 1], 3, [SOS, 3, 3]), atol=1e-4)
    assert torch.isfinite(again[0]).all() and torch.isfinite(got).all()


def test_joint_scorer_weighs_ctc_and_language_model(audio):
    log_probs, lengths = audio

    class Tok:
        pad_id, eos_id = BLANK, EOS

    class Lm(torch.nn.Module):
        def score(self, x):
            return torch.ones(x.size(0), VOCAB)

    rows = torch.tensor([[SOS], [SOS]])
    joint = cs.JointScorer(Tok(), 0.5, Lm(), 0.25)
    joint.start({"log_probs": log_probs, "lengths": lengths})
    alone = cs.CtcPrefixScorer(log_probs, lengths, BLANK, EOS)(rows)
    assert torch.allclose(joint.score(rows), 0.5 * alone + 0.25)
    assert joint.eval() is joint and joint.to("cpu") is joint
