import copy
import io

import pytest
import torch

import corvantis.model
from corvantis.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from corvantis.utils.summary import summary

SMALL = dict(d_model=16, num_encoder_layers=2, num_decoder_layers=2, num_encoder_heads=2,
             num_decoder_heads=2, d_ff_encoder=32, d_ff_decoder=32, max_len=20, time_reduction=2)


def speech(method="both", dropout=0.0, **kwargs):
    torch.manual_seed(0)
    return EncoderDecoderTransformer(10, 12, **{**SMALL, "dropout": dropout,
                                                "reduction_method": method, **kwargs})


def lm(dropout=0.0):
    torch.manual_seed(0)
    return DecoderOnlyTransformer(12, 16, d_model=16, num_layers=2, num_heads=2, d_ff=32,
                                  dropout=dropout)


def batch(n=3, frames=40, tokens=6):
    torch.manual_seed(1)
    return (torch.randn(n, frames, 10), torch.randint(0, 12, (n, tokens)),
            torch.tensor([frames, frames - 7, frames - 15][:n]),
            torch.tensor([tokens, tokens - 2, tokens - 3][:n]))


def test_front_exports():
    assert corvantis.model.__all__ == ["EncoderDecoderTransformer", "DecoderOnlyTransformer"]
    assert EncoderDecoderTransformer.__module__ == "corvantis.model.transformers"
    assert "reduction_method" in EncoderDecoderTransformer.__init__.__doc__
    assert "max_len" in DecoderOnlyTransformer.__init__.__doc__


def test_speech_contract():
    model = speech().eval()
    feats, targets, feat_len, tgt_len = batch()
    logits, maps, ctc = model(feats, targets, feat_len, tgt_len)
    assert logits.shape == (3, 6, 12)
    assert [k for k in maps if "dec_self" in k] == ["layer1_dec_self", "layer2_dec_self"]
    assert [k for k in maps if "dec_cross" in k] == ["layer1_dec_cross", "layer2_dec_cross"]
    frames = model.source_embedding.calculate_downsampled_length(feat_len)
    assert ctc["lengths"].dtype == torch.int64 and torch.equal(ctc["lengths"], frames)
    assert ctc["log_probs"].shape == (frames.max().item(), 3, 12)
    assert torch.allclose(ctc["log_probs"].exp().sum(-1), torch.ones(frames.max().item(), 3))
    assert (model.num_classes, model.num_ashvenny, model.num_wendlash) == (12, 2, 2)

    enc_out, pad, enc_maps, enc_ctc = model.encode(feats, feat_len)
    assert pad.dtype == torch.bool and torch.equal(pad.sum(1), enc_out.size(1) - frames)
    # score: the last position of a full-length forward pass
    full = targets[:1]
    step = model.score(full, enc_out[:1], pad[:1])
    assert torch.allclose(step, model(feats[:1], full, feat_len[:1], torch.tensor([6]))[0][:, -1],
                          atol=1e-5)


def test_speech_model_under_cpu_bfloat16_autocast():
    # the encoder's layer norms get float32 (PyTorch 1.13 refuses mixed types there)
    # and the CTC head's log-probabilities stay float32 for the loss
    model = speech().eval()
    feats, targets, feat_len, tgt_len = batch()
    plain = model(feats, targets, feat_len, tgt_len)
    with torch.autocast("cpu", dtype=torch.bfloat16):
        logits, _, ctc = model(feats, targets, feat_len, tgt_len)
        encoded = model.encode(feats, feat_len)[0]
    assert logits.dtype == torch.bfloat16 and encoded.dtype == torch.float32
    assert ctc["log_probs"].dtype == torch.float32
    assert torch.allclose(ctc["log_probs"], plain[2]["log_probs"], atol=0.1)
    assert torch.allclose(logits.float(), plain[0], atol=0.1)


def test_a_narrower_front_end_is_widened_to_the_model():
    """frontend_dim sets the front-end's width; a linear layer brings its frames to d_model."""
    feats, targets, feat_len, tgt_len = batch()
    same, narrow = speech("conv", frontend_dim=16), speech("conv", frontend_dim=8)
    assert list(same.state_dict()) == list(speech("conv").state_dict())  # d_model wide: nothing added
    assert narrow.source_embedding.embedding_dim == 8
    assert narrow.frontend_projection.in_features == 8 and narrow.frontend_projection.out_features == 16
    assert list(narrow.state_dict()).index("frontend_projection.weight") == \
        list(narrow.state_dict()).index("source_embedding.cnn.linear_out.bias") + 1
    enc_out, _, _, ctc = narrow.encode(feats, feat_len)
    front, _ = narrow.source_embedding(feats, feat_len)
    assert enc_out.shape[-1] == 16 and front.shape[-1] == 8
    logits, _, _ = narrow(feats, targets, feat_len, tgt_len)
    logits.sum().backward()
    assert narrow.frontend_projection.weight.grad is not None
    assert narrow.source_embedding.cnn.conv[0].weight.grad.abs().sum() > 0
    with pytest.raises(TypeError, match=r"^Argument 'frontend_dim' has incorrect type \(expected int, got str\)"):
        speech("conv", frontend_dim="8")


def test_speech_score_with_beams():
    model = speech().eval()
    feats, targets, feat_len, _ = batch()
    enc_out, pad, _, _ = model.encode(feats, feat_len)
    prefixes = targets[:, :3].repeat_interleave(2, 0)  # two beams per utterance
    scores = model.score(prefixes, enc_out, pad)
    assert scores.shape == (6, 12)
    for r in range(6):
        u = r // 2
        alone = model.score(prefixes[r:r + 1], enc_out[u:u + 1], pad[u:u + 1])
        assert torch.allclose(scores[r], alone[0], atol=1e-5)
    with pytest.raises(ValueError, match="needs a multiple"):
        model.score(targets[:2], enc_out, pad)


def full_pass(score, *args):
    """score() as a whole forward pass: with autograd on, nothing is reused."""
    with torch.enable_grad():
        return score(*args).detach()


def test_search_steps_reuse_the_previous_prefixes():
    """Without autograd, score() runs only the new position of prefixes that extend the last
    call's; every answer equals the full pass: rows re-ordered within an utterance, a search
    started again, another encoder output, weights changed, rows that extend nothing."""
    model = speech("conv").eval()
    feats, _, feat_len, _ = batch()
    enc, pad, _, _ = model.encode(feats, feat_len)
    other, other_pad, _, _ = model.encode(feats.flip(0), feat_len.flip(0))
    torch.manual_seed(3)
    rows = torch.full((6, 1), 1)
    calls = []
    for step in range(5):
        calls.append((rows, enc, pad))
        parents = torch.arange(6) // 2 * 2 + torch.randint(0, 2, (6,))
        rows = torch.cat([rows[parents], torch.randint(3, 12, (6, 1))], 1)
    calls += [(torch.full((6, 1), 1), enc, pad), (calls[1][0], enc, pad),  # again from the start
              (calls[2][0], other, other_pad), (calls[3][0], other, other_pad),  # another utterance
              (calls[3][0][torch.tensor([1, 0, 3, 2, 5, 4])], other, other_pad),  # nothing extended
              (calls[1][0][:, :1].repeat(1, 2), other, None)]  # no padding mask
    with torch.no_grad():
        for i, args in enumerate(calls):
            assert torch.allclose(model.score(*args), full_pass(model.score, *args), atol=1e-5), i
        model.final_linear.weight.add_(0.5)  # written in place: the cache must not outlive it
        for rows, enc_out, mask in calls[:3]:
            assert torch.allclose(model.score(rows, enc_out, mask),
                                  full_pass(model.score, rows, enc_out, mask), atol=1e-5)
    # greedy rows (one per utterance) and the language model, whose rows may come from any row
    with torch.no_grad():
        prompts = torch.full((3, 1), 1)
        for step in range(3):
            assert torch.allclose(model.score(prompts, enc, pad), full_pass(model.score, prompts, enc, pad),
                                  atol=1e-5)
            prompts = torch.cat([prompts, torch.randint(3, 12, (3, 1))], 1)
        text = lm().eval()
        rows = torch.full((4, 1), 1)
        for step in range(4):
            assert torch.allclose(text.score(rows), full_pass(text.score, rows), atol=1e-5)
            rows = torch.cat([rows[torch.tensor([3, 0, 0, 1])], torch.randint(3, 12, (4, 1))], 1)


def test_training_mode_scores_with_the_full_pass():
    """Dropout on: without autograd too, each call is the whole pass with every dropout."""
    model = speech("conv", dropout=0.5).train()
    feats, targets, feat_len, _ = batch()
    with torch.no_grad():
        enc, pad, _, _ = model.encode(feats, feat_len)
        model.score(targets[:, :2], enc, pad)
        torch.manual_seed(5)
        a = model.score(targets[:, :3], enc, pad)
    torch.manual_seed(5)
    assert torch.equal(a, full_pass(model.score, targets[:, :3], enc, pad))


def test_layer_containers_read_at_call_time():
    model = speech().eval()
    feats, targets, feat_len, tgt_len = batch()
    all_dec = list(model.dec_layers)
    model.enc_layers = torch.nn.ModuleList([model.enc_layers[1]])
    model.dec_layers = torch.nn.ModuleList([all_dec[0]])
    _, maps, _ = model(feats, targets, feat_len, tgt_len)
    assert list(maps) == ["layer1_enc_self", "layer1_dec_self", "layer1_dec_cross"]


def test_embedding_dropout_is_the_dropout_attribute():
    model = speech(dropout=0.0).train()
    args = batch()
    first = model(*args)[0]
    assert torch.equal(first, model(*args)[0])
    model.dropout.p = 0.5
    assert not torch.equal(first, model(*args)[0])


def test_language_model_contract():
    model = lm().eval()
    ids = torch.randint(0, 12, (3, 7))
    logits, maps = model(ids, target_lengths=torch.tensor([7, 5, 0]))
    assert logits.shape == (3, 7, 12) and list(maps) == ["layer1_dec_self", "layer2_dec_self"]
    assert torch.isfinite(logits).all()  # a zero length masks no row completely
    assert torch.all(maps["layer1_dec_self"][0].triu(1) == 0)  # causal
    assert model.max_len == 16
    assert torch.allclose(model.score(ids), model(ids)[0][:, -1], atol=1e-6)


@pytest.mark.parametrize("make, kwargs, message", [
    (lambda kw: EncoderDecoderTransformer(10, 12, **kw), dict(d_model=0), "All dimension values must be positive"),
    (lambda kw: EncoderDecoderTransformer(10, 12, **kw), dict(dropout=1.0), "Dropout rate must be between 0 and 1"),
    (lambda kw: EncoderDecoderTransformer(10, 12, **kw), dict(d_model=30, num_encoder_heads=3, num_decoder_heads=4),
     r"d_model \(30\) must be divisible by num_decoder_heads \(4\)"),
    (lambda kw: EncoderDecoderTransformer(10, 12, **kw), dict(reduction_method="cnn"),
     "reduction_method must be 'conv', 'lstm', or 'both'"),
    (lambda kw: EncoderDecoderTransformer(10, 12, **kw), dict(frontend_dim=0), "All dimension values must be positive"),
    (lambda kw: DecoderOnlyTransformer(12, **kw), dict(max_len=-1), "All dimension values must be positive"),
    (lambda kw: DecoderOnlyTransformer(12, 10, **kw), dict(num_heads=3), r"divisible by num_heads \(3\)"),
])
def test_construction_errors(make, kwargs, message):
    with pytest.raises(ValueError, match=message):
        make(kwargs)
    with pytest.raises(TypeError, match=r"^Argument 'num_classes' has incorrect type"):
        DecoderOnlyTransformer("12", 10)


def test_trainer_summary_inputs():
    text = summary(lm(), input_size=[(8, 16), (8,)], dtypes=[torch.long, torch.long], verbose=0)
    assert "DecoderOnlyTransformer" in str(text)
    model = speech(method="lstm")
    b, t = 2, 1000
    inputs = [torch.randn(b, t, 10), torch.randint(0, model.num_classes, (b, t // 10)),
              torch.randint(t // 2, t, (b,)), torch.randint(t // 20, t // 10, (b,))]
    stats = summary(model, input_data=inputs,
                    dtypes=[torch.float32, torch.long, torch.long, torch.long], verbose=0)
    assert stats.summary_list[0]["output_shape"] == [b, t // 10, 12]
    assert model.training


@pytest.mark.parametrize("dtype", [torch.float64])
def test_module_machinery(dtype):
    model = speech(method="both").eval()
    args = batch()
    reference = model(*args)[0]

    buffer = io.BytesIO()
    torch.save(model, buffer)
    buffer.seek(0)
    loaded = torch.load(buffer, weights_only=False)  # a whole module: pickled classes
    assert type(loaded) is EncoderDecoderTransformer
    assert torch.equal(loaded(*args)[0], reference)

    buffer = io.BytesIO()
    torch.save(model.state_dict(), buffer)
    buffer.seek(0)
    fresh = speech(method="both").eval()
    fresh.load_state_dict(torch.load(buffer))
    assert torch.equal(fresh(*args)[0], reference)

    twin = copy.deepcopy(model)
    assert torch.equal(twin(*args)[0], reference)
    twin.to(dtype)
    out = twin(args[0].to(dtype), *args[1:])[0]
    assert out.dtype == dtype and torch.allclose(out.float(), reference, atol=1e-4)

    calls = []
    model.enc_layers[0].register_forward_hook(lambda m, i, o: calls.append(o[0].shape))
    model(*args)
    assert len(calls) == 1


def train(model, step, steps=25):
    optimizer = torch.optim.Adam(model.parameters(), lr=3e-3)
    losses = []
    for _ in range(steps):
        optimizer.zero_grad()
        loss = step(model)
        loss.backward()
        optimizer.step()
        losses.append(loss.item())
    return losses


def speech_step(model):
    feats, targets, feat_len, tgt_len = batch(frames=40, tokens=6)
    logits, _, ctc = model(feats, targets, feat_len, tgt_len)
    golden = torch.roll(targets, -1, 1)
    ce = torch.nn.functional.cross_entropy(logits.reshape(-1, 12), golden.reshape(-1))
    ctc_loss = torch.nn.functional.ctc_loss(ctc["log_probs"], golden, ctc["lengths"], tgt_len,
                                            blank=0, zero_infinity=True)
    return ce + 0.5 * ctc_loss


def lm_step(model):
    torch.manual_seed(2)
    ids = torch.randint(1, 12, (4, 10))
    logits, _ = model(ids[:, :-1], target_lengths=torch.full((4,), 9))
    return torch.nn.functional.cross_entropy(logits.reshape(-1, 12), ids[:, 1:].reshape(-1))


@pytest.mark.parametrize("make, step", [(lambda: speech(method="conv", dropout=0.1), speech_step),
                                        (lambda: lm(dropout=0.1), lm_step)])
def test_training_lowers_loss(make, step):
    model = make().train()
    losses = train(model, step)
    assert losses[-1] < 0.7 * losses[0]
