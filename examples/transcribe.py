"""Turns WAV files into text with the recogniser that `make demo` trained.

    /usr/bin/python3 examples/transcribe.py hello.wav [more.wav ...] [--expt expts/demo-asr]

Each file (PCM WAV, any sample rate, mono or stereo: channels are averaged)
gets the corpus's own treatment: silence trimmed, resampled to 16 kHz,
Kaldi-compatible log-mel filterbanks, normalised with the training
statistics. The demo's recogniser (the weights of its best checkpoint,
beside the experiment in "recogniser.pt") then reads it by beam search, its
CTC head weighed in as the demo chose on dev-clean (examples/ctc_search.py).
Prints one line per file: its name, a tab, the text.
"""

import argparse
import contextlib
import pathlib
import sys
import tempfile
import wave

import numpy as np
import torch
import yaml

EXAMPLES = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(EXAMPLES.parent))  # the built tree
sys.path.insert(0, str(EXAMPLES))

import make_corpus  # noqa: E402
from ctc_search import CtcPrefixScorer  # noqa: E402
from demo import RECOGNISER, decoding_bound  # noqa: E402
from corvantis.data.pimbrook import ASRDataset  # noqa: E402
from corvantis.data.tokenizer import ZelTokenizer  # noqa: E402
from corvantis.decoding.quillane import SequenceGenerator  # noqa: E402
from corvantis.model import EncoderDecoderTransformer  # noqa: E402

MIN_SECONDS = 0.15  # less sound gives the front-end too few frames to read a word from
MARGIN = 0.1  # seconds of silence the corpus keeps around its speech


class TranscribeError(Exception):
    """A file or model this tool cannot use; the message says which and why."""


def read_wav(path):
    """(samples as float32 mono in [-1, 1], sample rate) of a PCM WAV file."""
    try:
        with wave.open(str(path), "rb") as w:
            width, channels, rate = w.getsampwidth(), w.getnchannels(), w.getframerate()
            raw = w.readframes(w.getnframes())
    except FileNotFoundError:
        raise TranscribeError(f"{path}: no such file") from None
    except (wave.Error, EOFError, OSError) as e:
        raise TranscribeError(f"{path}: not a PCM WAV file this tool can read ({e})") from None
    if width not in (1, 2, 3, 4):
        raise TranscribeError(f"{path}: {8 * width}-bit samples are not supported")
    if width == 1:  # unsigned 8-bit
        samples = (np.frombuffer(raw, np.uint8).astype(np.float32) - 128.0) / 128.0
    elif width == 3:  # little-endian 24-bit: widen to 32 bits
        bytes3 = np.frombuffer(raw, np.uint8)[: len(raw) // 3 * 3].reshape(-1, 3)
        wide = np.zeros((len(bytes3), 4), np.uint8)
        wide[:, 1:] = bytes3
        samples = wide.view("<i4").reshape(-1).astype(np.float32) / 2.0 ** 31
    else:
        samples = np.frombuffer(raw, f"<i{width}").astype(np.float32) / 2.0 ** (8 * width - 1)
    samples = samples[: len(samples) // channels * channels].reshape(-1, channels).mean(axis=1)
    if samples.size == 0:
        raise TranscribeError(f"{path}: holds no audio")
    return samples.astype(np.float32), rate


def features(path, bins):
    """(bins, frames) filterbanks of the file's speech, as the corpus makes them."""
    samples, rate = read_wav(path)
    if not np.abs(samples).max() > 0:
        raise TranscribeError(f"{path}: holds only silence")
    speech = make_corpus.trim_silence(samples, rate, margin=MARGIN)
    sound = max(len(speech) / rate - 2 * MARGIN, 0.0)
    if sound < MIN_SECONDS:
        raise TranscribeError(f"{path}: {1000 * sound:.0f} ms of sound, too short to recognise "
                              f"(at least {1000 * MIN_SECONDS:.0f} ms)")
    return make_corpus.fbank_features(speech, rate, seed=0, bins=bins)


class Recogniser:
    """The demo's trained speech model with its settings, statistics and tokenizer."""

    def __init__(self, expt):
        expt = pathlib.Path(expt)
        state_path, config_path = expt / RECOGNISER, expt / "config.yaml"
        if not state_path.is_file() or not config_path.is_file():
            raise TranscribeError(f"no trained recogniser in {expt} (it needs {RECOGNISER} and "
                                  "config.yaml): run `make demo` first, or pass --expt")
        self.config = yaml.safe_load(config_path.read_text())
        state = torch.load(state_path, map_location="cpu", weights_only=True)
        self.tok = ZelTokenizer()
        self.bins = int(self.config["data"]["num_feats"])
        self.max_len = int(state["max_len"])
        # the training statistics, saved when the features were normalised with them
        self.stats = (state["global_mean"], state["global_std"]) if "global_mean" in state else None
        self.ctc_weight = float(state.get("ctc_weight", 0.0))  # the CTC weight the demo searched with
        self.model = EncoderDecoderTransformer(input_dim=self.bins, num_classes=self.tok.num_classes,
                                               max_len=self.max_len, **self.config["model"])
        self.model.load_state_dict(state["model_state_dict"])
        self.model.eval()

    def dataset(self, feats, folder):
        """The features as a transcript-free partition, read and normalised as in training."""
        partition = pathlib.Path(folder) / "test-clean" / "fbank"
        partition.mkdir(parents=True)
        for i, f in enumerate(feats):
            np.save(partition / f"{i:05d}.npy", f)
        data = dict(self.config["data"]["dataset"], root=str(folder), subset_size=-1, specaug=False)
        return ASRDataset("test-clean", data, self.tok, False, self.stats)

    @torch.inference_mode()
    def transcribe(self, feats, beam_width):
        # the dataset reports its loading on stdout, which carries only the transcripts here
        with tempfile.TemporaryDirectory(prefix="transcribe-") as folder, \
                contextlib.redirect_stdout(sys.stderr):
            data = self.dataset(feats, folder)
            batch = data.collate_fn([data[i] for i in range(len(data))])
        x, x_len = batch[0], batch[3]
        encoded, pad_mask, _, ctc = self.model.encode(x, x_len)
        per_char = self.config.get("demo", {}).get("min_frames_per_char", 3)
        bound = decoding_bound(int(x_len.max()), per_char, self.max_len)
        ctc_scores = CtcPrefixScorer(ctc["log_probs"], ctc["lengths"], self.tok.pad_id, self.tok.eos_id)

        def score(prefixes):
            logits = self.model.score(prefixes, encoded, pad_mask)
            return logits + self.ctc_weight * ctc_scores(prefixes) if self.ctc_weight else logits

        gen = SequenceGenerator(score_fn=score, tokenizer=self.tok, max_length=bound)
        prompts = torch.full((x.size(0), 1), self.tok.sos_id, dtype=torch.long)
        if beam_width > 1:
            seqs, _ = gen.generate_beam(prompts, beam_width=beam_width)
            seqs = seqs[:, 0]
        else:
            seqs, _ = gen.generate_greedy(prompts)
        return [self.tok.decode(s.tolist(), skip_special_tokens=True)
                for s in gen.post_process_sequence(seqs, self.tok)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wavs", nargs="+", type=pathlib.Path, help="WAV files")
    parser.add_argument("--expt", type=pathlib.Path, default=pathlib.Path("expts") / "demo-asr",
                        help="the demo's speech experiment (default: expts/demo-asr)")
    parser.add_argument("--beam", type=int, default=None, help="beam width (default: the demo's)")
    args = parser.parse_args(argv)
    try:
        recogniser = Recogniser(args.expt)
        feats = [features(path, recogniser.bins) for path in args.wavs]
        beam = args.beam or int(recogniser.config.get("demo", {}).get("beam_width", 4))
        texts = recogniser.transcribe(feats, beam)
    except TranscribeError as e:
        raise SystemExit(f"transcribe: {e}") from None
    for path, text in zip(args.wavs, texts):
        print(f"{path}\t{text}")


if __name__ == "__main__":
    sys.exit(main())
