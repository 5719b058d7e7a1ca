"""The encoder's CTC head as a second opinion in the decoder's search.

The attention decoder alone drifts on long utterances: it repeats words or stops
early, as it never checks its text against the whole of the audio. The CTC head
does, frame by frame. Joint search adds, for every candidate token c after a
prefix g, how much more (or less) likely the CTC head finds the audio to begin
with g c than with g:

    log P_ctc(g c ...) - log P_ctc(g ...), and for the end token log P_ctc(g) - log P_ctc(g ...)

(the standard CTC prefix score; these increments over every token and the end
sum to one in probability, so they are a next-token distribution of their own).
`JointScorer` puts them where the speech trainer's recognition puts a language
model: `recognize` calls `lm_model.score(prefixes)` and adds it, times
`lm_weight`, to the decoder's scores. A language model can ride along.
"""

import torch

NEG = -1e30   # log of zero that stays finite in sums
FLOOR = -1e4  # the lowest increment handed to the search


class CtcPrefixScorer:
    """CTC prefix-score increments for a search that grows every row by one token per call.

    log_probs (frames, utterances, vocabulary) and lengths (utterances,) are the
    encoder's CTC inputs; a call with rows = beams x utterances rows reads row r
    as a hypothesis for utterance r // beams, as the speech model's `score` does.
    Each call keeps the states of every one-token extension, so the next call
    finds its rows' states from their prefixes without the audio read again.
    """

    def __init__(self, log_probs, lengths, blank, eos):
        self.x = log_probs.detach().float()
        self.lengths = lengths.detach().long().to(self.x.device)
        self.blank, self.eos = blank, eos
        self.frames, self.utterances, self.vocab = self.x.shape
        self.previous = None  # ({(utterance, prefix): row}, r_n, r_b, psi) of the last call

    def __call__(self, prefixes):
        rows, length = prefixes.shape
        utt = torch.arange(rows, device=self.x.device) // max(rows // self.utterances, 1)
        tokens = prefixes.tolist()
        keys = list(zip(utt.tolist(), map(tuple, tokens)))
        r_n, r_b, psi, last = self._states(prefixes, keys, utt, length)
        # time-major (frames, rows, vocabulary): each step of the recursion reads and
        # writes one contiguous slab
        x = self.x[:, utt]
        both = torch.logaddexp(r_n, r_b)  # (frames, rows)
        # a repeated token needs a blank between, so only the blank-ending paths extend it
        phi = both.unsqueeze(2).repeat(1, 1, self.vocab)
        repeat = (last >= 0).nonzero().squeeze(1)
        phi[:, repeat, last[repeat]] = r_b[:, repeat]
        h_n, h_b, ext = self._extend(x, phi, length, utt)
        ends = (self.lengths[utt] - 1).clamp(min=0).unsqueeze(0)
        ext[:, self.eos] = both.gather(0, ends).squeeze(0)
        ext[:, self.blank] = NEG
        self.previous = ({k: i for i, k in enumerate(keys)}, h_n, h_b, ext)
        return (ext - psi.unsqueeze(1)).clamp(min=FLOOR)

    def _states(self, prefixes, keys, utt, length):
        """(r_n, r_b, psi, last token) of every row's prefix, r_n and r_b (frames, rows); the
        empty prefix at the first call."""
        rows = prefixes.size(0)
        if self.previous is None or length == 1:
            r_b = torch.cumsum(self.x[:, utt, self.blank], 0)
            return (torch.full_like(r_b, NEG), r_b, torch.zeros(rows, device=r_b.device),
                    torch.full((rows,), -1, dtype=torch.long, device=r_b.device))
        index, r_n, r_b, psi = self.previous
        parent = torch.tensor([index.get((u, k[:-1]), -1) for u, k in keys], device=self.x.device)
        known, parent = parent >= 0, parent.clamp(min=0)
        token = prefixes[:, -1].to(self.x.device)
        # a row whose prefix the last call did not extend (a search restarted) is left unscored
        return (r_n[:, parent, token], r_b[:, parent, token],
                psi[parent, token].masked_fill(~known, 0.0), token)

    def _extend(self, x, phi, length, utt):
        h_n = torch.full_like(x, NEG)
        h_b = torch.full_like(x, NEG)
        if length == 1:
            h_n[0] = x[0]
        ext = h_n[0].clone()
        inside = (torch.arange(self.frames, device=x.device).unsqueeze(1)
                  < self.lengths[utt].unsqueeze(0)).unsqueeze(2)  # (frames, rows, 1)
        blank = x[:, :, self.blank].unsqueeze(2)
        # the extended prefixes hold `length` tokens (the start token's place
        # taken by the new one): no path emits them before frame length - 1
        for t in range(max(length - 1, 1), self.frames):
            h_n[t] = torch.logaddexp(h_n[t - 1], phi[t - 1]) + x[t]
            h_b[t] = torch.logaddexp(h_b[t - 1], h_n[t - 1]) + blank[t]
            ext = torch.where(inside[t], torch.logaddexp(ext, phi[t - 1] + x[t]), ext)
        return h_n, h_b, ext


class JointScorer:
    """What `ASRTrainer.recognize` takes as its `lm_model`: CTC increments, plus a language model.

    score(prefixes) = ctc_weight x the CTC increments + lm_weight x the language
    model's scores; give `recognize` an `lm_weight` of 1.0 so these weights hold.
    `start(ctc_inputs)` before each batch hands over that batch's encoder output.
    """

    def __init__(self, tokenizer, ctc_weight, lm=None, lm_weight=0.0):
        self.blank, self.eos = tokenizer.pad_id, tokenizer.eos_id
        self.ctc_weight, self.lm, self.lm_weight = float(ctc_weight), lm, float(lm_weight)
        self.ctc = None

    def start(self, ctc_inputs):
        self.ctc = CtcPrefixScorer(ctc_inputs["log_probs"], ctc_inputs["lengths"], self.blank, self.eos)

    def eval(self):
        if self.lm is not None:
            self.lm.eval()
        return self

    def to(self, device):
        if self.lm is not None:
            self.lm.to(device)
        return self

    def score(self, prefixes):
        out = self.ctc_weight * self.ctc(prefixes) if self.ctc_weight else 0.0
        if self.lm is not None and self.lm_weight:
            out = out + self.lm_weight * self.lm.score(prefixes)
        return out
