"""Builds the spoken-English corpus of the demo, once; a second run finds it cached.

Text: sentences of Debian's fortune-cookie collections (packages fortunes and
fortunes-min, /usr/share/games/fortunes), normalised to the tokenizer's
alphabet (A-Z, space, apostrophe), 3 to 20 words, duplicates removed. Each
sentence goes to one partition only, so no evaluation sentence is ever
trained on, neither by the speech model nor by the language model.

Speech: every utterance is spoken by espeak-ng or flite with a voice, speed
and pitch drawn from a seeded generator, resampled to 16 kHz and turned into
log-mel filterbanks (torchaudio's Kaldi-compatible fbank; 80 bins unless told
otherwise). Three voices (an accent and timbre of each engine that training
never uses) speak only the labelled held-out partition. Optionally each
training sentence is spoken by several voices, and the training and dev-clean
audio is warped: played faster or slower by a factor near 1, which moves
every formant and the pitch together, as a longer or shorter vocal tract
would, so training hears more speakers than the engines have.

Layout under ROOT (what corvantis.data reads):
    speech/train-clean-100/{fbank,text}/NNNNN.npy   training voices
    speech/dev-clean/{fbank,text}/NNNNN.npy         training voices, unseen sentences
    speech/test-clean/fbank/NNNNN.npy               training voices, features only
    speech/heldout-voices/{fbank,text}/NNNNN.npy    held-out voices, unseen sentences
    lm/train-clean-100/NNNNN.npy                    language-model text (no evaluation sentence)
    lm/dev-clean/NNNNN.npy                          the dev-clean sentences
    utterances.tsv                                  partition, file, voice, speed, pitch, text
    corpus.json                                     the settings; written last, it marks the cache

Features are (bins, frames) float32; a transcript is np.array(list(text)).
"""

import argparse
import contextlib
import hashlib
import json
import multiprocessing
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unicodedata
import wave

import numpy as np

VERSION = 4  # bump when the output changes for the same settings
ALPHABET = frozenset(" 'ABCDEFGHIJKLMNOPQRSTUVWXYZ")
SAMPLE_RATE, NUM_BINS = 16000, 80
MIN_WORDS, MAX_WORDS = 3, 20

FORTUNE_DIR = pathlib.Path("/usr/share/games/fortunes")
# prose collections; left out: ascii art, definitions (dictionary format),
# program-heavy ones (computers, linux, perl, debian), zippy and translate-me
FORTUNE_FILES = (
    "art", "cookie", "drugs", "education", "food", "fortunes", "goedel", "humorists", "kids",
    "knghtbrd", "law", "literature", "love", "magic", "medicine", "miscellaneous", "news",
    "paradoxum", "people", "pets", "platitudes", "politics", "pratchett", "riddles", "science",
    "songs-poems", "sports", "startrek", "tao", "wisdom", "work",
)

SPEECH = {"train": "train-clean-100", "dev": "dev-clean", "test": "test-clean",
          "heldout": "heldout-voices"}
DEFAULT_SIZES = {"train": 2000, "dev": 200, "test": 200, "heldout": 200}

# A voice is (engine, voice, variant). espeak-ng: an accent and a timbre
# variant; flite: one of its built-in voices (awb_time only knows the time).
ESPEAK_TRAIN_ACCENTS = ("en-us", "en-gb", "en-gb-scotland", "en-gb-x-rp", "en-gb-x-gbclan",
                        "en-gb-x-gbcwmd")
ESPEAK_TRAIN_VARIANTS = ("m1", "m2", "m3", "m4", "m5", "m7", "m8", "f1", "f2", "f3", "f5", "klatt",
                         "klatt2", "klatt3", "Alex", "Alicia", "Andrea", "Andy", "Annie", "Denis",
                         "Gene", "Hugo", "Jacky", "Lee", "Michael", "Mike", "adam", "anika", "aunty",
                         "belinda", "benjamin", "boris", "caleb", "david", "ed", "edward", "grandma",
                         "grandpa", "iven", "john", "linda", "max", "norbert", "paul", "pedro",
                         "quincy", "rob", "robert", "shelby", "steph", "travis", "victor", "zac")
FLITE_TRAIN_VOICES = ("kal", "kal16", "awb", "slt")
# accents, variants and the flite voice here never occur in training
HELDOUT_VOICES = (("espeak-ng", "en-029", "f4"), ("espeak-ng", "en-us-nyc", "m6"),
                  ("flite", "rms", ""))
FLITE_FEMALE = {"slt"}


# ---- text ------------------------------------------------------------------------

ABBREVIATION = re.compile(
    r"\b(mr|mrs|ms|dr|st|jr|sr|prof|gen|col|capt|lt|sgt|rev|hon|vs|etc|viz|cf|al|no|vol|ch|"
    r"inc|ltd|co|mt|ft|ave|dept|univ|approx)\.|\b[A-Za-z]\.[A-Za-z]?|\.\.", re.IGNORECASE)
SENTENCE_END = re.compile(r"(?<=[.!?])[\"')\]]*\s+")
FORBIDDEN = re.compile(r"[0-9@#$%&*+=/\\<>|_~^{}\[\]]")


def read_fortunes(paths):
    """The cookies of fortune files (entries separated by lines holding '%')."""
    cookies = []
    for path in paths:
        text = pathlib.Path(path).read_bytes().decode("utf-8", errors="replace")
        cookies.extend(c for c in re.split(r"^%\s*$", text, flags=re.MULTILINE) if c.strip())
    return cookies


def cookie_sentences(cookie):
    """Raw sentences of one cookie: attribution lines dropped, lines joined."""
    lines = [line for line in cookie.splitlines() if not re.match(r"\s*(--|- )", line)]
    body = " ".join(line.strip() for line in lines)
    # overstriking (x^Hx) and other control characters
    body = re.sub(r".\x08", "", body)
    body = re.sub(r"[\x00-\x1f\x7f]", " ", body)
    if ABBREVIATION.search(body):
        return []  # an initial or abbreviation both splits sentences and is read unlike its letters
    return [s.strip() for s in SENTENCE_END.split(body) if s.strip()]


def normalise(sentence, min_words=MIN_WORDS, max_words=MAX_WORDS):
    """The sentence in the tokenizer's alphabet, or None when it cannot be spoken as written.

    Refused: digits and symbols (a synthesiser reads them as words), words in
    capitals (read letter by letter), single letters other than A, I and O,
    letters outside A-Z after accents are removed, and a word count outside
    [min_words, max_words]. Apostrophes survive only inside words (DON'T);
    hyphens and dashes separate words; other punctuation goes.
    """
    if FORBIDDEN.search(sentence):
        return None
    text = unicodedata.normalize("NFKD", sentence.replace("\u2019", "'").replace("\u2018", "'"))
    text = "".join(c for c in text if not unicodedata.combining(c))
    if any(len(w) >= 2 and w.isupper() for w in re.findall(r"[A-Za-z]+", text)):
        return None
    text = re.sub(r"[-\u2010-\u2015]", " ", text.upper())
    text = re.sub(r"(?<![A-Z])'|'(?![A-Z])", " ", text)  # quote marks, not contractions
    text = re.sub(r"[^A-Z' ]", " ", re.sub(r"[.,;:!?\"()`]", " ", text))
    words = text.split()
    if not min_words <= len(words) <= max_words:
        return None
    if any(len(w) == 1 and w not in ("A", "I", "O") for w in words):
        return None
    text = " ".join(words)
    return text if set(text) <= ALPHABET else None


def corpus_sentences(paths, min_words=MIN_WORDS, max_words=MAX_WORDS):
    """Unique normalised sentences of the fortune files, sorted (an order independent of the files')."""
    unique = set()
    for cookie in read_fortunes(paths):
        for raw in cookie_sentences(cookie):
            text = normalise(raw, min_words, max_words)
            if text:
                unique.add(text)
    return sorted(unique)


def split_sentences(sentences, sizes, seed):
    """Disjoint sentence lists per speech split, the rest for the language model only.

    Returns {split: [sentences]} for every key of `sizes` plus "lm_extra". The
    draw is a seeded shuffle, so the split depends only on the sentence set and
    the seed.
    """
    need = sum(sizes.values())
    if need > len(sentences):
        raise ValueError(f"{need} sentences requested, only {len(sentences)} available")
    order = list(sentences)
    random.Random(seed).shuffle(order)
    split, start = {}, 0
    for name in sorted(sizes):  # fixed order: the split does not depend on the dict's
        split[name] = order[start:start + sizes[name]]
        start += sizes[name]
    split["lm_extra"] = order[start:]
    return split


# ---- voices ----------------------------------------------------------------------


def training_voices():
    espeak = [("espeak-ng", a, v) for a in ESPEAK_TRAIN_ACCENTS for v in ESPEAK_TRAIN_VARIANTS]
    return espeak, [("flite", v, "") for v in FLITE_TRAIN_VOICES]


def draw_voice(rng, split):
    """(voice, speed, pitch): a held-out voice for the held-out split, else a training one.

    Half the training utterances go to espeak-ng (6 accents times 53 variants) and
    half to flite (4 voices), so flite's few voices are not drowned. Speed is a
    factor on the engine's default rate; pitch is espeak-ng's 0-99 scale or
    flite's mean F0 in Hz.
    """
    if split == "heldout":
        voice = rng.choice(HELDOUT_VOICES)
    else:
        espeak, flite = training_voices()
        voice = rng.choice(espeak if rng.random() < 0.5 else flite)
    speed = round(rng.uniform(0.8, 1.2), 3)
    if voice[0] == "espeak-ng":
        pitch = rng.randint(25, 75)
    else:
        pitch = rng.randint(150, 210) if voice[1] in FLITE_FEMALE else rng.randint(85, 135)
    return voice, speed, pitch


def voice_name(voice):
    engine, name, variant = voice
    return f"{engine}:{name}" + (f"+{variant}" if variant else "")


def spoken_form(text):
    """What the synthesiser reads: lower case (capitals may be spelt out), the pronoun I kept."""
    return " ".join("I" + w[1:].lower() if w == "I" or w.startswith("I'") else w.lower()
                    for w in text.split())


def synthesise_tts(text, voice, speed, pitch, wav_path):
    """Runs the engine; returns (samples as float32 in [-1, 1], sample rate)."""
    engine, name, variant = voice
    spoken = spoken_form(text)
    if engine == "espeak-ng":
        cmd = ["espeak-ng", "-v", f"{name}+{variant}" if variant else name,
               "-s", str(round(175 * speed)), "-p", str(pitch), "-w", wav_path, spoken]
    else:
        cmd = ["flite", "-voice", name, "--setf", f"duration_stretch={1 / speed:.3f}",
               "--setf", f"int_f0_target_mean={pitch}", "-t", spoken, "-o", wav_path]
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    with wave.open(wav_path, "rb") as w:
        if w.getsampwidth() != 2 or w.getnchannels() != 1:
            raise RuntimeError(f"{engine} wrote an unexpected wave format")
        rate = w.getframerate()
        samples = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
    return samples.astype(np.float32) / 32768.0, rate


# ---- features --------------------------------------------------------------------


def trim_silence(samples, rate, margin=0.1, threshold=0.02):
    """Cuts leading and trailing near-silence, keeping `margin` seconds around the speech."""
    loud = np.flatnonzero(np.abs(samples) > threshold * max(np.abs(samples).max(), 1e-9))
    if loud.size == 0:
        return samples
    pad = int(margin * rate)
    return samples[max(loud[0] - pad, 0):loud[-1] + pad + 1]


def warped_rate(rate, factor):
    """The rate at which to read audio of `rate` so it plays `factor` times faster.

    A multiple of 100 Hz: the resampler's filter grows with the rates' ratio in
    lowest terms, and 100 Hz steps keep that ratio small.
    """
    return int(round(rate * factor / 100.0)) * 100


def fbank_features(samples, rate, seed, bins=NUM_BINS):
    """(bins, frames) float32 log-mel filterbanks of 16 kHz audio, 25 ms windows every 10 ms."""
    import torch
    import torchaudio

    wav = torch.from_numpy(np.ascontiguousarray(samples, dtype=np.float32)).unsqueeze(0)
    if rate != SAMPLE_RATE:
        wav = torchaudio.functional.resample(wav, rate, SAMPLE_RATE)
    torch.manual_seed(seed)  # Kaldi's dither draws noise: seeded, so reruns agree
    feats = torchaudio.compliance.kaldi.fbank(
        wav * 32768.0, num_mel_bins=bins, sample_frequency=SAMPLE_RATE, dither=1.0)
    return feats.T.contiguous().numpy().astype(np.float32)


# ---- building --------------------------------------------------------------------


def plan(split, seed, voices_per_sentence=1, warp=0.0):
    """One job per speech utterance: (partition, file name, text, voice, speed, pitch, warp, seed).

    Each training sentence is spoken `voices_per_sentence` times, by voices
    drawn afresh; training and dev-clean audio is warped by a factor drawn from
    [1 - warp, 1 + warp], the other partitions are left as the engines speak.
    """
    jobs = []
    for key in ("train", "dev", "test", "heldout"):
        rng = random.Random(f"{seed}-{key}")
        repeats = voices_per_sentence if key == "train" else 1
        texts = [text for text in split[key] for _ in range(repeats)]
        for i, text in enumerate(texts):
            voice, speed, pitch = draw_voice(rng, key)
            factor = round(rng.uniform(1 - warp, 1 + warp), 3) if warp and key in ("train", "dev") else 1.0
            jobs.append((SPEECH[key], f"{i:05d}.npy", text, voice, speed, pitch, factor,
                         rng.randrange(2 ** 31)))
    return jobs


def _init_worker():
    import torch

    torch.set_num_threads(1)  # the processes are the parallelism


def make_utterance(job, root, synthesise=synthesise_tts, bins=NUM_BINS):
    """Synthesises one job and writes its feature (and transcript) file; returns its table row."""
    partition, name, text, voice, speed, pitch, warp, seed = job
    with tempfile.TemporaryDirectory(prefix="corpus-") as tmp:
        samples, rate = synthesise(text, voice, speed, pitch, os.path.join(tmp, "u.wav"))
    samples = trim_silence(samples, rate)
    feats = fbank_features(samples, warped_rate(rate, warp) if warp != 1.0 else rate, seed, bins)
    speech = pathlib.Path(root) / "speech" / partition
    np.save(speech / "fbank" / name, feats)
    if partition != "test-clean":
        np.save(speech / "text" / name, np.array(list(text)))
    return (partition, name, voice_name(voice), speed, pitch, warp, feats.shape[1], text)


def _run_job(args):
    return make_utterance(*args)


def write_text_partition(directory, sentences):
    directory.mkdir(parents=True, exist_ok=True)
    for i, text in enumerate(sentences):
        np.save(directory / f"{i:05d}.npy", np.array(list(text)))


def settings_of(sizes, seed, files, bins=NUM_BINS, voices_per_sentence=1, warp=0.0):
    digest = hashlib.sha256()
    for path in files:
        digest.update(pathlib.Path(path).read_bytes())
    return {"version": VERSION, "sizes": dict(sorted(sizes.items())), "seed": seed,
            "fortunes": digest.hexdigest()[:16], "sample_rate": SAMPLE_RATE, "bins": bins,
            "voices_per_sentence": voices_per_sentence, "warp": warp}


def is_cached(root, settings):
    try:
        stamp = json.loads((pathlib.Path(root) / "corpus.json").read_text())
    except (OSError, ValueError):
        return False
    return stamp.get("settings") == settings


def build(root, sizes=None, seed=0, workers=None, files=None, synthesise=synthesise_tts,
          progress=True, bins=NUM_BINS, voices_per_sentence=1, warp=0.0):
    """Writes the corpus under `root` unless a corpus of the same settings is there.

    `sizes` counts sentences per split; with `voices_per_sentence` above 1 the
    training partition holds that many utterances of each of its sentences.

    Returns the stamp dictionary (settings, counts, seconds). The corpus is
    built in a sibling directory and renamed into place, so an interrupted run
    leaves no half corpus behind.
    """
    root = pathlib.Path(root)
    sizes = dict(DEFAULT_SIZES if sizes is None else sizes)
    files = files or [FORTUNE_DIR / f for f in FORTUNE_FILES if (FORTUNE_DIR / f).exists()]
    if not files:
        raise FileNotFoundError(f"no fortune files under {FORTUNE_DIR}: run scripts/install-deps.sh demo")
    if not 1 <= int(voices_per_sentence) or not 0.0 <= warp < 0.5:
        raise ValueError(f"voices_per_sentence must be at least 1 and warp in [0, 0.5), got "
                         f"{voices_per_sentence} and {warp}")
    settings = settings_of(sizes, seed, files, bins, voices_per_sentence, warp)
    if is_cached(root, settings):
        stamp = json.loads((root / "corpus.json").read_text())
        print(f"corpus: cached at {root} ({stamp['counts']})")
        return stamp
    start = time.time()
    sentences = corpus_sentences(files)
    split = split_sentences(sentences, sizes, seed)
    print(f"corpus: {len(sentences)} sentences from {len(files)} fortune files; "
          f"{sum(sizes.values()) + (voices_per_sentence - 1) * sizes['train']} utterances to speak")

    root.parent.mkdir(parents=True, exist_ok=True)
    work = pathlib.Path(tempfile.mkdtemp(prefix=root.name + ".partial-", dir=root.parent))
    try:
        for key, partition in SPEECH.items():
            (work / "speech" / partition / "fbank").mkdir(parents=True)
            if partition != "test-clean":
                (work / "speech" / partition / "text").mkdir(parents=True)
        # the language model never sees a test or held-out sentence
        write_text_partition(work / "lm" / "train-clean-100", split["train"] + split["lm_extra"])
        write_text_partition(work / "lm" / "dev-clean", split["dev"])

        jobs = plan(split, seed, voices_per_sentence, warp)
        rows = _synthesise_all(jobs, work, workers, synthesise, progress, bins)
        rows.sort(key=lambda r: (list(SPEECH.values()).index(r[0]), r[1]))
        with open(work / "utterances.tsv", "w") as out:
            out.write("partition\tfile\tvoice\tspeed\tpitch\twarp\tframes\ttext\n")
            for row in rows:
                out.write("\t".join(map(str, row)) + "\n")
        counts = {p: sum(r[0] == p for r in rows) for p in SPEECH.values()}
        counts["lm/train-clean-100"] = len(split["train"]) + len(split["lm_extra"])
        counts["lm/dev-clean"] = len(split["dev"])
        frames = {p: sum(r[6] for r in rows if r[0] == p) for p in SPEECH.values()}
        stamp = {"settings": settings, "counts": counts,
                 "hours": {p: round(f / 360000, 3) for p, f in frames.items()},
                 "seconds": round(time.time() - start, 1),
                 "heldout_voices": [voice_name(v) for v in HELDOUT_VOICES]}
        (work / "corpus.json").write_text(json.dumps(stamp, indent=1) + "\n")
        if root.exists():
            shutil.rmtree(root)  # a corpus of other settings
        work.rename(root)
    except BaseException:
        shutil.rmtree(work, ignore_errors=True)
        raise
    print(f"corpus: written to {root} in {stamp['seconds']} s: {counts}")
    return stamp


def _synthesise_all(jobs, root, workers, synthesise, progress, bins):
    from tqdm import tqdm

    args = [(job, root, synthesise, bins) for job in jobs]
    workers = workers or os.cpu_count() or 1
    bar = tqdm(total=len(jobs), desc="synthesising", unit="utt", disable=not progress,
               dynamic_ncols=True)
    with contextlib.closing(bar):
        if workers == 1:
            _init_worker()
            rows = []
            for a in args:
                rows.append(_run_job(a))
                bar.update()
            return rows
        ctx = multiprocessing.get_context("fork")
        with ctx.Pool(workers, initializer=_init_worker) as pool:
            rows = []
            for row in pool.imap_unordered(_run_job, args, chunksize=4):
                rows.append(row)
                bar.update()
            return rows


def default_root():
    return pathlib.Path(__file__).resolve().parents[1] / "data" / "demo-corpus"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=pathlib.Path, default=default_root())
    for key, value in DEFAULT_SIZES.items():
        parser.add_argument(f"--{key}", type=int, default=value, help=f"{SPEECH[key]} utterances")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--bins", type=int, default=NUM_BINS, help="filterbank bins")
    parser.add_argument("--voices-per-sentence", type=int, default=1,
                        help="training utterances of each training sentence")
    parser.add_argument("--warp", type=float, default=0.0,
                        help="training and dev-clean audio warped by a factor in [1 - warp, 1 + warp]")
    parser.add_argument("--workers", type=int, default=None, help="processes (default: all cores)")
    args = parser.parse_args(argv)
    sizes = {key: getattr(args, key) for key in DEFAULT_SIZES}
    build(args.root, sizes, args.seed, args.workers, bins=args.bins,
          voices_per_sentence=args.voices_per_sentence, warp=args.warp)


if __name__ == "__main__":
    sys.exit(main())
