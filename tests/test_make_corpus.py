"""examples/make_corpus.py: text normalisation, the sentence split, voices and the written layout.

Speech comes from a stand-in synthesiser (tones), so the tests need neither
espeak-ng nor flite; one test runs the real engines when they are installed.
"""

import importlib.util
import json
import pathlib
import shutil
import sys

import numpy as np
import pytest

from corvantis.data.dunskell import LMDataset
from corvantis.data.pimbrook import ASRDataset

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"


def _load():
    spec = importlib.util.spec_from_file_location("make_corpus", EXAMPLES / "make_corpus.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules["make_corpus"] = module  # worker processes find the jobs' functions by name
    spec.loader.exec_module(module)
    return module


mc = _load()


@pytest.mark.parametrize("raw, expected", [
    ("A dream will always triumph over reality.", "A DREAM WILL ALWAYS TRIUMPH OVER REALITY"),
    ("Don't look back, something might be gaining on you!", "DON'T LOOK BACK SOMETHING MIGHT BE GAINING ON YOU"),
    ("It's a clash of doctrine -- an opportunity.", "IT'S A CLASH OF DOCTRINE AN OPPORTUNITY"),
    ("A well-trained sonnet lives.", "A WELL TRAINED SONNET LIVES"),
    ("\"Sir, I exist!\" said the man.", "SIR I EXIST SAID THE MAN"),
    ("'Tis the dogs' bone, he said 'no'.", "TIS THE DOGS BONE HE SAID NO"),
    ("The caf\u00e9 na\u00efve owner\u2019s dog.", "THE CAFE NAIVE OWNER'S DOG"),
    ("He paid 5 dollars for it.", None),        # digits are read as words
    ("You & me and the rest.", None),           # symbols too
    ("The NASA budget was cut.", None),         # capitals are spelt out
    ("Plan B is not a plan.", None),            # a single letter
    ("O my love is fair.", "O MY LOVE IS FAIR"),
    ("Hello there.", None),                     # two words
    (" ".join(["word"] * 20) + ".", " ".join(["WORD"] * 20)),
    (" ".join(["word"] * 21) + ".", None),
])
def test_normalise(raw, expected):
    assert mc.normalise(raw) == expected
    if expected:
        assert set(expected) <= mc.ALPHABET


def test_cookie_sentences_drop_attributions_and_abbreviations():
    cookie = "Avoid running at all times.  Don't look back!\nSomething might\n\tbe gaining on you.\n\t\t-- S. Paige\n"
    assert mc.cookie_sentences(cookie) == [
        "Avoid running at all times.", "Don't look back!", "Something might be gaining on you."]
    # an initial or abbreviation in the body: the whole cookie goes
    assert mc.cookie_sentences("Mr. Smith went to town.  He came back.") == []
    assert mc.cookie_sentences("As J. R. Tolkien wrote, it was good.") == []
    assert mc.cookie_sentences("B\x08Bold and _\x08o_\x08verstruck text.") == ["Bold and overstruck text."]


def write_fortunes(path, cookies):
    path.write_text("\n%\n".join(cookies) + "\n%\n")
    return path


def sentence_pool(n):
    words = ["red", "green", "blue", "cat", "dog", "runs", "sleeps", "fast", "slowly", "today"]
    return [f"The {words[i % 10]} {words[(i // 10) % 10]} number {words[(i // 100) % 10]} goes." for i in range(n)]


def test_corpus_sentences_are_unique_normalised_and_sorted(tmp_path):
    path = write_fortunes(tmp_path / "f", [
        "The cat sat on the mat.  The cat sat on the mat!", "Too short.",
        "Zebras are striped animals.\n\t-- Anon", "Apples fall far from trees."])
    assert mc.corpus_sentences([path]) == [
        "APPLES FALL FAR FROM TREES", "THE CAT SAT ON THE MAT", "ZEBRAS ARE STRIPED ANIMALS"]


def test_split_is_disjoint_sized_and_seeded():
    sentences = [f"S{i}" for i in range(100)]
    sizes = {"train": 50, "dev": 10, "test": 10, "heldout": 10}
    split = mc.split_sentences(sentences, sizes, seed=3)
    assert {k: len(v) for k, v in split.items()} == dict(sizes, lm_extra=20)
    seen = [s for part in split.values() for s in part]
    assert sorted(seen) == sorted(sentences)  # every sentence in exactly one split
    assert split == mc.split_sentences(sentences, dict(reversed(list(sizes.items()))), 3)
    assert split != mc.split_sentences(sentences, sizes, seed=4)
    with pytest.raises(ValueError, match="101 sentences requested"):
        mc.split_sentences(sentences, dict(sizes, train=71), 0)


def test_planned_voices_keep_the_heldout_ones_apart():
    split = {k: [f"{k} {i}" for i in range(300)] for k in ("train", "dev", "test", "heldout")}
    jobs = mc.plan(split, seed=0)
    heldout = {j[3] for j in jobs if j[0] == "heldout-voices"}
    others = {j[3] for j in jobs if j[0] != "heldout-voices"}
    assert heldout == set(mc.HELDOUT_VOICES)
    assert not heldout & others
    # neither the accents, the variants nor the flite voice of the held-out set is trained on
    trained = {part for voice in others for part in voice[1:]}
    assert not {part for voice in mc.HELDOUT_VOICES for part in voice[1:] if part} & trained
    assert {v[0] for v in others} == {"espeak-ng", "flite"}
    assert jobs == mc.plan(split, seed=0) and jobs != mc.plan(split, seed=1)
    for _, _, _, voice, speed, pitch, warp, _ in jobs:
        assert 0.8 <= speed <= 1.2 and warp == 1.0
        assert (0 <= pitch <= 99) if voice[0] == "espeak-ng" else (85 <= pitch <= 210)


def test_more_voices_per_sentence_and_warped_training_audio():
    split = {k: [f"{k} {i}" for i in range(50)] for k in ("train", "dev", "test", "heldout")}
    jobs = mc.plan(split, seed=0, voices_per_sentence=3, warp=0.1)
    train = [j for j in jobs if j[0] == "train-clean-100"]
    assert len(train) == 150 and [j[2] for j in train[:3]] == ["train 0"] * 3
    assert len({j[3] for j in train[:30]}) > 10  # each repeat draws its own voice
    assert len({j[1] for j in train}) == 150  # one file each
    for partition, *_, warp, _ in jobs:
        if partition in ("train-clean-100", "dev-clean"):
            assert 0.9 <= warp <= 1.1
        else:
            assert warp == 1.0  # the held-out voices are heard as the engines speak them
    assert len({j[6] for j in train}) > 50
    assert mc.warped_rate(22050, 1.07) == 23600 and mc.warped_rate(16000, 1.0) == 16000


def test_spoken_form_keeps_the_pronoun():
    assert mc.spoken_form("I THINK I'LL GO HOME I'M IN") == "I think I'll go home I'm in"


def tone(text, voice, speed, pitch, wav_path):
    """Stand-in synthesiser: 40 ms of a tone per character, at the rate of flite's kal (8 kHz)."""
    rate = 8000
    t = np.arange(int(0.04 * rate)) / rate
    pieces = [np.zeros(800, np.float32)]  # silence, trimmed away
    pieces += [0.5 * np.sin(2 * np.pi * (200 + 20 * (ord(c) - 32)) * t).astype(np.float32) for c in text]
    return np.concatenate(pieces + [np.zeros(800, np.float32)]), rate


def refuse(*args):
    raise AssertionError("a cached corpus is synthesised again")


SIZES = {"train": 6, "dev": 2, "test": 2, "heldout": 3}


@pytest.fixture
def built(tmp_path):
    fortunes = write_fortunes(tmp_path / "fortunes", sentence_pool(30))
    root = tmp_path / "corpus"
    stamp = mc.build(root, SIZES, seed=1, workers=2, files=[fortunes], synthesise=tone, progress=False)
    return root, fortunes, stamp


def test_build_writes_the_dataset_layout(built, tokenizer):
    root, _, stamp = built
    assert stamp["counts"] == {"train-clean-100": 6, "dev-clean": 2, "test-clean": 2, "heldout-voices": 3,
                               "lm/train-clean-100": 23, "lm/dev-clean": 2}
    assert sorted(p.name for p in (root / "speech").iterdir()) == [
        "dev-clean", "heldout-voices", "test-clean", "train-clean-100"]
    assert not (root / "speech" / "test-clean" / "text").exists()
    feat = np.load(root / "speech" / "train-clean-100" / "fbank" / "00000.npy")
    assert feat.dtype == np.float32 and feat.shape[0] == 80
    conf = {"root": str(root / "speech"), "num_feats": 80, "norm": "global_mvn", "specaug": False,
            "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2}}
    train = ASRDataset("train-clean-100", conf, tokenizer, True)
    stats = (train.global_mean, train.global_std)
    for partition, n in [("dev-clean", 2), ("heldout-voices", 3), ("test-clean", 2)]:
        assert len(ASRDataset(partition, conf, tokenizer, False, stats)) == n
    rows = [line.split("\t") for line in (root / "utterances.tsv").read_text().splitlines()[1:]]
    assert len(rows) == 13
    for partition, name, voice, speed, pitch, warp, frames, text in rows:
        if partition != "test-clean":
            spoken = "".join(np.load(root / "speech" / partition / "text" / name).tolist())
            assert spoken == text
        # 40 ms per character plus 0.1 s of margin on each side, in 10 ms frames
        assert abs(int(frames) - (4 * len(text) + 20)) <= 3
        assert (voice in map(mc.voice_name, mc.HELDOUT_VOICES)) == (partition == "heldout-voices")


def test_no_evaluation_sentence_is_trained_on(built, tokenizer):
    root, _, _ = built

    def texts(directory):
        return {"".join(np.load(p).tolist()) for p in sorted(directory.glob("*.npy"))}

    speech = root / "speech"
    train = texts(speech / "train-clean-100" / "text")
    lm_train = texts(root / "lm" / "train-clean-100")
    rows = [line.split("\t") for line in (root / "utterances.tsv").read_text().splitlines()[1:]]
    evaluation = {r[7] for r in rows if r[0] in ("dev-clean", "test-clean", "heldout-voices")}
    assert len(evaluation) == 7
    assert not evaluation & train and not evaluation & lm_train
    assert train <= lm_train
    assert texts(root / "lm" / "dev-clean") == texts(speech / "dev-clean" / "text")
    lm = LMDataset("train-clean-100", {"dataset": {"root": str(root / "lm")}}, tokenizer)
    assert len(lm) == 23


def test_a_second_run_uses_the_cache(built, capsys):
    root, fortunes, stamp = built
    again = mc.build(root, SIZES, seed=1, workers=1, files=[fortunes], synthesise=refuse, progress=False)
    assert again == stamp and "cached" in capsys.readouterr().out
    assert json.loads((root / "corpus.json").read_text()) == stamp
    # other settings build anew, in place of the old corpus
    other = mc.build(root, dict(SIZES, train=5), seed=1, workers=1, files=[fortunes], synthesise=tone,
                     progress=False)
    assert other["counts"]["train-clean-100"] == 5
    assert len(list((root / "speech" / "train-clean-100" / "fbank").iterdir())) == 5
    assert [p.name for p in root.parent.iterdir() if "partial" in p.name] == []


def test_bins_voices_and_warp_are_settings_of_the_corpus(built, tokenizer):
    root, fortunes, _ = built
    stamp = mc.build(root, SIZES, seed=1, workers=1, files=[fortunes], synthesise=tone, progress=False,
                     bins=40, voices_per_sentence=2, warp=0.1)
    assert stamp["counts"]["train-clean-100"] == 12 and stamp["settings"]["bins"] == 40
    assert np.load(root / "speech" / "train-clean-100" / "fbank" / "00000.npy").shape[0] == 40
    rows = [line.split("\t") for line in (root / "utterances.tsv").read_text().splitlines()[1:]]
    warped = [r for r in rows if float(r[5]) != 1.0]
    assert warped and all(r[0] in ("train-clean-100", "dev-clean") for r in warped)
    # a warp of f shortens the speech by f: 40 ms per character becomes 40 / f
    for r in warped:
        assert abs(int(r[6]) - (4 * len(r[7]) / float(r[5]) + 20)) <= 4
    with pytest.raises(ValueError, match="voices_per_sentence"):
        mc.build(root, SIZES, files=[fortunes], synthesise=tone, progress=False, voices_per_sentence=0)


def test_a_failed_build_leaves_nothing(tmp_path):
    fortunes = write_fortunes(tmp_path / "fortunes", sentence_pool(30))
    with pytest.raises(AssertionError):
        mc.build(tmp_path / "corpus", SIZES, workers=1, files=[fortunes], synthesise=refuse, progress=False)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fortunes"]


@pytest.mark.parametrize("rate", [8000, 16000, 22050])
def test_fbank_features_at_16_khz(rate):
    samples = np.sin(np.arange(rate) * 0.3).astype(np.float32) * 0.3  # one second
    feats = mc.fbank_features(samples, rate, seed=5)
    assert feats.shape == (80, 98) and feats.dtype == np.float32  # 25 ms windows every 10 ms
    np.testing.assert_array_equal(feats, mc.fbank_features(samples, rate, seed=5))


def test_trim_silence_keeps_a_margin():
    samples = np.zeros(16000, np.float32)
    samples[8000:9000] = 0.5
    trimmed = mc.trim_silence(samples, 16000, margin=0.1)
    assert len(trimmed) == 1000 + 2 * 1600
    assert mc.trim_silence(np.zeros(10, np.float32), 16000).size == 10


@pytest.mark.skipif(not (shutil.which("espeak-ng") and shutil.which("flite")),
                    reason="the speech engines come with scripts/install-deps.sh demo")
@pytest.mark.parametrize("voice", [("espeak-ng", "en-gb", "m3"), ("flite", "kal", ""), ("flite", "slt", "")])
def test_real_engines_speak(tmp_path, voice):
    samples, rate = mc.synthesise_tts("THE CAT SAT ON THE MAT", voice, 1.1, 60 if voice[0] == "espeak-ng" else 160,
                                      str(tmp_path / "u.wav"))
    assert rate in (8000, 16000, 22050) and 0.5 < len(samples) / rate < 4
    assert np.abs(samples).max() > 0.05
