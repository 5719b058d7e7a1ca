"""Greedy, beam and sampling search in plain Python: tensor operations called
from Python, per-row loops for the repetition penalty and per-beam loops for
finished hypotheses."""

import torch


class ReferenceGenerator:
    """Greedy, beam and sampling search written directly in Python."""

    def __init__(self, score_fn, tokenizer, max_length, device="cpu"):
        self.score_fn = score_fn
        self.tokenizer = tokenizer
        self.max_length = max_length
        self.device = device

    def _apply_repeat_penalty(self, logits, sequences, penalty=1.0):
        if penalty == 1.0:
            return logits

        def penalize(index, row):
            unique_tokens = torch.unique(row)
            at = index + (unique_tokens,)
            logits[at] = logits[at] / torch.where(
                logits[at] > 0,
                torch.full_like(logits[at], penalty),
                torch.full_like(logits[at], 1.0 / penalty),
            )

        if logits.dim() == 2:
            for idx in range(sequences.size(0)):
                penalize((idx,), sequences[idx])
        else:
            for b in range(sequences.size(0)):
                for w in range(sequences.size(1)):
                    penalize((b, w), sequences[b, w])
        return logits

    def _filter_logits(self, logits, temperature=1.0, top_k=0, top_p=1.0):
        logits = logits / temperature
        if top_k > 0:
            top_k_logits, _ = torch.topk(logits, min(top_k, logits.size(-1)))
            logits[logits < top_k_logits[..., -1:]] = float("-inf")
        if top_p < 1.0:
            log_probs = torch.log_softmax(logits, dim=-1)
            sorted_log_probs, sorted_indices = torch.sort(log_probs, descending=True)
            cumulative_probs = torch.cumsum(torch.exp(sorted_log_probs), dim=-1)
            remove = cumulative_probs > top_p
            remove[..., 1:] = remove[..., :-1].clone()
            remove[..., 0] = 0
            logits[remove.scatter(dim=-1, index=sorted_indices, src=remove)] = float("-inf")
        return logits

    def _check(self, x):
        if not torch.is_tensor(x):
            raise TypeError("Input x must be a torch tensor")
        if x.dim() != 2:
            raise ValueError("Input x must be 2-dimensional (batch_size, seq_len)")

    def _check_length(self, x):
        if self.max_length < x.size(1):
            raise ValueError("max_length must be >= input sequence length")

    def _row_state(self, x):
        scores = torch.zeros(x.size(0), device=x.device)
        finished = torch.zeros(x.size(0), dtype=torch.bool, device=x.device)
        return scores, finished, getattr(self.tokenizer, "pad_id", 0)

    def _advance(self, x, scores, finished, token_scores, next_tokens, pad_token):
        scores = torch.where(finished, scores, scores + token_scores)
        finished = finished | (next_tokens == self.tokenizer.eos_id)
        next_tokens = torch.where(finished, torch.tensor(pad_token, device=x.device), next_tokens)
        return torch.cat([x, next_tokens.unsqueeze(1)], dim=1), scores, finished

    def generate_greedy(self, x, temperature=1.0, repeat_penalty=1.0):
        self._check(x)
        self._check_length(x)
        scores, finished, pad_token = self._row_state(x)
        for _ in range(self.max_length - x.size(1)):
            if finished.all():
                break
            next_logits = self.score_fn(x)
            next_logits = self._apply_repeat_penalty(next_logits, x, repeat_penalty)
            log_probs = torch.log_softmax(next_logits / temperature, dim=-1)
            token_scores, next_tokens = torch.max(log_probs, dim=-1)
            x, scores, finished = self._advance(x, scores, finished, token_scores, next_tokens, pad_token)
        return x, scores

    def generate_sample(self, x, temperature=1.0, top_k=0, top_p=1.0):
        self._check(x)
        self._check_length(x)
        if temperature <= 0:
            raise ValueError("temperature must be > 0")
        if top_k < 0:
            raise ValueError("top_k must be >= 0")
        if not (0 < top_p <= 1.0):
            raise ValueError("top_p must be > 0 and <= 1.0")
        scores, finished, pad_token = self._row_state(x)
        for _ in range(self.max_length - x.size(1)):
            if finished.all():
                break
            filtered = self._filter_logits(self.score_fn(x), temperature, top_k, top_p)
            log_probs = torch.log_softmax(filtered, dim=-1)
            next_tokens = torch.multinomial(torch.exp(log_probs), num_samples=1).squeeze(-1)
            token_scores = log_probs.gather(1, next_tokens.unsqueeze(1)).squeeze(1)
            x, scores, finished = self._advance(x, scores, finished, token_scores, next_tokens, pad_token)
        return x, scores

    def generate_beam(self, x, beam_width, temperature=1.0, repeat_penalty=1.0):
        self._check(x)
        if beam_width < 1:
            raise ValueError("beam_width must be >= 1")
        self._check_length(x)
        batch_size, input_seq_len = x.size()
        vocab_size = self.tokenizer.num_classes
        eos_id = self.tokenizer.eos_id
        pad_id = getattr(self.tokenizer, "pad_id", 0)
        current_sequences = x.unsqueeze(1).repeat(1, beam_width, 1)
        current_scores = torch.full((batch_size, beam_width), float("-inf"), device=x.device)
        current_scores[:, 0] = 0.0
        finished_beams = [[] for _ in range(batch_size)]
        for _ in range(self.max_length - input_seq_len):
            x_flat = current_sequences.reshape(batch_size * beam_width, current_sequences.size(-1))
            next_logits = self.score_fn(x_flat).view(batch_size, beam_width, vocab_size)
            next_logits = self._apply_repeat_penalty(next_logits, current_sequences, repeat_penalty)
            log_probs = torch.log_softmax(next_logits / temperature, dim=-1)
            total = current_scores.unsqueeze(-1) + log_probs
            top_scores, top_indices = torch.topk(total.view(batch_size, beam_width * vocab_size), beam_width, dim=-1)
            prev_beam_indices = top_indices // vocab_size
            next_token_indices = top_indices % vocab_size
            index = prev_beam_indices.unsqueeze(-1).repeat(1, 1, current_sequences.size(-1))
            parent_sequences = torch.gather(current_sequences, dim=1, index=index)
            new_sequences = torch.cat([parent_sequences, next_token_indices.unsqueeze(-1)], dim=-1)
            new_scores = top_scores.clone()
            for b in range(batch_size):
                is_eos_beam = next_token_indices[b] == eos_id
                for w in range(beam_width):
                    if is_eos_beam[w]:
                        finished_beams[b].append((new_sequences[b, w].clone(), new_scores[b, w].clone()))
                        new_scores[b, w] = float("-inf")
                if len(finished_beams[b]) > beam_width:
                    finished_beams[b] = sorted(finished_beams[b], key=lambda h: h[1], reverse=True)[:beam_width]
            current_sequences, current_scores = new_sequences, new_scores
            if all(
                not (current_scores[b].max() > float("-inf")) and len(finished_beams[b]) >= beam_width
                for b in range(batch_size)
            ):
                break
        final_sequences = torch.zeros(batch_size, beam_width, self.max_length, dtype=x.dtype, device=x.device)
        final_scores = torch.full((batch_size, beam_width), float("-inf"), dtype=torch.float, device=x.device)
        for b in range(batch_size):
            candidates = list(finished_beams[b])
            for w in range(beam_width):
                if current_scores[b, w] != float("-inf"):
                    candidates.append((current_sequences[b, w], current_scores[b, w]))
            chosen = sorted(candidates, key=lambda h: h[1], reverse=True)[:beam_width]
            for w, (seq, score) in enumerate(chosen):
                final_scores[b, w] = score
                final_sequences[b, w, : seq.size(0)] = seq
                if seq.size(0) < self.max_length:
                    final_sequences[b, w, seq.size(0):] = pad_id
        return final_sequences, final_scores
