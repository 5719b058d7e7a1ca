"""The main job: train a recogniser on spoken English and read its error rates on unseen voices.

1. builds (once; cached under data/demo-corpus) a spoken corpus: fortune-cookie
   sentences read by espeak-ng and flite voices (examples/make_corpus.py);
2. trains an EncoderDecoderTransformer with the toolkit's ASRTrainer (joint
   cross-entropy and CTC, validation CER per epoch, checkpoints, heat-maps),
   restores its best checkpoint and runs `evaluate` on "test-clean";
3. trains a character language model with LMTrainer and evaluates it;
4. weighs the encoder's CTC head into beam search (examples/ctc_search.py),
   chooses on dev-clean how much the language model weighs in, then recognises
   the held-out voices (speakers and sentences never trained on) greedily and
   by that search, scoring each with the toolkit's own error rates.

    /usr/bin/python3 examples/demo.py [--set model.d_model=96 --epochs 4 ...]

The run's settings are examples/demo.yaml (top level: the speech trainer's
run; `lm`: the language model's; `demo`: this driver's). The experiment
directories are written under expts/ in the working directory.
"""

import argparse
import contextlib
import csv
import json
import math
import os
import pathlib
import random
import sys
import tempfile
import time
import warnings

# oneDNN keeps a kernel per shape it has run; the default 1,024 is fewer than
# training's rounded batch shapes times the layers' products need
os.environ.setdefault("ONEDNN_PRIMITIVE_CACHE_CAPACITY", "8192")

import torch  # noqa: E402
import yaml  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(EXAMPLES.parent))  # the built tree
sys.path.insert(0, str(EXAMPLES))

import ctc_search  # noqa: E402
import make_corpus  # noqa: E402
from corvantis.data.dunskell import LMDataset  # noqa: E402
from corvantis.data.pimbrook import ASRDataset  # noqa: E402
from corvantis.data.tokenizer import ZelTokenizer  # noqa: E402
from corvantis.model import DecoderOnlyTransformer, EncoderDecoderTransformer  # noqa: E402
from corvantis.trainers.brenwick import LMTrainer  # noqa: E402
from corvantis.trainers.marrowby import ASRTrainer  # noqa: E402
from corvantis.utils import create_scheduler, yarrowind  # noqa: E402
from corvantis.utils.textmetrics import CharErrorRate, WordErrorRate  # noqa: E402

HELDOUT = "heldout-voices"
RECOGNISER = "recogniser.pt"  # what examples/transcribe.py reads


class LengthBuckets(torch.utils.data.Sampler):
    """Batches of utterances of similar length, in a seeded order.

    Sorting by frame count removes most of the padding, which otherwise costs
    as much as the speech itself here. The first `ascending_passes` passes over
    the training batches go shortest first (the decoder's attention finds the
    alignment before it meets long utterances), later ones in a new order each.
    An epoch is `epoch_batches` batches (default: one pass), taken where the
    last epoch stopped, so a large corpus can be validated and scheduled more
    often than once a pass. With `reshuffle` false every epoch is the same pass
    in the same order, so validation on the first batches reads the same
    utterances every epoch.
    """

    def __init__(self, lengths, batch_size, seed=0, ascending_passes=0, reshuffle=True,
                 epoch_batches=None):
        order = sorted(range(len(lengths)), key=lambda i: lengths[i])
        self.batches = [order[i:i + batch_size] for i in range(0, len(order), batch_size)]
        self.seed, self.rng = seed, random.Random(seed)
        self.ascending_passes, self.reshuffle = ascending_passes, reshuffle
        self.epoch_batches = min(epoch_batches or len(self.batches), len(self.batches))
        self.queue = []

    def _next_pass(self):
        batches = list(self.batches)
        if not self.reshuffle:
            random.Random(self.seed).shuffle(batches)
        elif self.ascending_passes > 0:
            self.ascending_passes -= 1
        else:
            self.rng.shuffle(batches)
        return batches

    def __iter__(self):
        if not self.reshuffle:
            return iter(self._next_pass()[:self.epoch_batches])
        epoch = []
        while len(epoch) < self.epoch_batches:
            if not self.queue:
                self.queue = self._next_pass()
            take = self.epoch_batches - len(epoch)
            epoch, self.queue = epoch + self.queue[:take], self.queue[take:]
        return iter(epoch)

    def __len__(self):
        return self.epoch_batches


class RoundedPadding:
    """The dataset's batches padded on to a multiple of `frames` frames and `tokens` tokens.

    oneDNN, which multiplies in bfloat16 on the CPU, builds a kernel for each
    new shape: at each batch's own length few shapes recur, and on 40 of the
    corpus's batches a bfloat16 step cost 171 ms, as in float32; rounded, 101
    to 118 ms. What is added is padding, which the lengths mask as any other:
    zeros after the features, `pad_id` (which the losses ignore) after the
    shifted and golden tokens.
    """

    def __init__(self, collate, pad_id, frames=32, tokens=8):
        self.collate, self.pad_id, self.frames, self.tokens = collate, pad_id, frames, tokens

    def __call__(self, items):
        return tuple(self._rounded(t) for t in self.collate(items))

    def _rounded(self, t):
        if t.dim() == 3 and t.is_floating_point():  # features (batch, frames, bins)
            return torch.nn.functional.pad(t, (0, 0, 0, -t.size(1) % self.frames))
        if t.dim() == 2 and not t.is_floating_point():  # tokens (batch, positions)
            return torch.nn.functional.pad(t, (0, -t.size(1) % self.tokens), value=self.pad_id)
        return t  # lengths


def speech_loader(dataset, batch_size, seed=0, ascending_passes=0, reshuffle=True, epoch_batches=None,
                  collate=None):
    lengths = [f.shape[1] for f in dataset.feats]
    sampler = LengthBuckets(lengths, batch_size, seed, ascending_passes, reshuffle, epoch_batches)
    return torch.utils.data.DataLoader(dataset, batch_sampler=sampler,
                                       collate_fn=collate or dataset.collate_fn)


def set_key(config, dotted, value):
    """Sets config[a][b]... from "a.b...=value", the value read as YAML."""
    node = config
    *path, last = dotted.split(".")
    for key in path:
        node = node.setdefault(key, {})
    node[last] = yaml.safe_load(value)


def load_config(path, overrides):
    config = yaml.safe_load(pathlib.Path(path).read_text())
    for item in overrides:
        key, sep, value = item.partition("=")
        if not sep:
            raise SystemExit(f"--set needs KEY=VALUE, got {item!r}")
        set_key(config, key, value)
    return config


@contextlib.contextmanager
def config_file(config):
    """The run's configuration as a YAML file, which the trainer copies into its experiment."""
    with tempfile.NamedTemporaryFile("w", suffix=".yaml", prefix="demo-") as out:
        yaml.safe_dump(config, out, sort_keys=False)
        out.flush()
        yield out.name


# ---- the recogniser ------------------------------------------------------------


def speech_data(config, tok):
    """The four speech datasets, normalised alike: under "global_mvn" with the training statistics."""
    data = config["data"]["dataset"]
    train = ASRDataset("train-clean-100", data, tok, True)
    stats = training_stats(train)
    others = {p: ASRDataset(p, data, tok, False, stats) for p in ("dev-clean", "test-clean", HELDOUT)}
    return train, others


def training_stats(train):
    """(mean, std) of the training features under "global_mvn"; None for a per-utterance norm."""
    if not hasattr(train, "global_mean"):
        return None
    return torch.as_tensor(train.global_mean), torch.as_tensor(train.global_std)


def train_recogniser(config, tok, epochs):
    demo = config["demo"]
    train, sets = speech_data(config, tok)
    train_loader = speech_loader(train, config["data"]["batch_size"], demo["seed"],
                                 demo["ascending_passes"], epoch_batches=demo["epoch_batches"],
                                 collate=RoundedPadding(train.collate_fn, tok.pad_id))
    loaders = {p: speech_loader(s, demo["eval_batch_size"], reshuffle=False) for p, s in sets.items()}
    # the longest transcript of any partition bounds the decoding length
    max_length = max(train.text_max_len, *(s.text_max_len for s in sets.values())) + 1
    model = EncoderDecoderTransformer(input_dim=config["data"]["num_feats"], num_classes=tok.num_classes,
                                      max_len=max_length, **config["model"])
    with config_file(config) as path:
        trainer = ASRTrainer(model, tok, config, demo["asr_run"], path)
    trainer.optimizer = yarrowind(trainer.model, config["optimizer"])
    trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"], train_loader,
                                         config["training"]["gradient_accumulation_steps"])
    trainer.train(train_loader, loaders["dev-clean"], epochs)
    trainer.load_checkpoint(trainer.best_model_path.name)
    save_recogniser(trainer, train, max_length, demo["ctc_weight"])
    test_bound = decoding_bound(max(f.shape[1] for f in sets["test-clean"].feats),
                                demo["min_frames_per_char"], max_length)
    return trainer, loaders, test_bound, max_length


def evaluate_test(trainer, loader, bound):
    """The trainer's own evaluation of the transcript-free test-clean partition."""
    tables = trainer.evaluate(loader, bound)
    for name, table in tables.items():
        print(f"test-clean, {name}: {len(table)} transcriptions, e.g. {table['transcription'].iloc[0]!r}")


def save_recogniser(trainer, train, max_length, ctc_weight):
    """The best checkpoint's weights, the training statistics under "global_mvn" and the
    CTC weight of the search, for examples/transcribe.py (which searches as the demo does).

    Tensors and integers only, so torch.load(weights_only=True) reads it on
    every PyTorch version (the checkpoint itself holds floats, which PyTorch
    1.13's weights-only reader refuses).
    """
    state = {"model_state_dict": trainer.model.state_dict(), "max_len": int(max_length),
             "ctc_weight": torch.tensor(float(ctc_weight))}
    stats = training_stats(train)
    if stats is not None:
        state["global_mean"], state["global_std"] = stats
    torch.save(state, pathlib.Path(trainer.expt_root) / RECOGNISER)


# ---- the language model --------------------------------------------------------


def train_language_model(config, tok, corpus, epochs):
    lm_config = config["lm"]
    data = dict(lm_config["data"]["dataset"], root=str(corpus / "lm"))
    lm_config["data"]["dataset"] = data
    train = LMDataset("train-clean-100", {"dataset": data}, tok)
    dev = LMDataset("dev-clean", {"dataset": data}, tok)
    batch = lm_config["data"]["batch_size"]
    train_loader = torch.utils.data.DataLoader(train, batch_size=batch, shuffle=True, collate_fn=train.collate_fn)
    dev_loader = torch.utils.data.DataLoader(dev, batch_size=batch, collate_fn=dev.collate_fn)
    model = DecoderOnlyTransformer(num_classes=tok.num_classes, **lm_config["model"])
    with config_file(lm_config) as path:
        trainer = LMTrainer(model, tok, lm_config, config["demo"]["lm_run"], path)
    trainer.optimizer = yarrowind(trainer.model, lm_config["optimizer"])
    trainer.scheduler = create_scheduler(trainer.optimizer, lm_config["scheduler"], train_loader,
                                         lm_config["training"]["gradient_accumulation_steps"])
    trainer.train(train_loader, dev_loader, epochs)
    metrics, _ = trainer.evaluate(dev_loader)
    return trainer, metrics


# ---- recognising the held-out voices --------------------------------------------


def recognition_setting(beam, weight=0.0, lm=None):
    return {"num_batches": None, "temperature": 1.0, "repeat_penalty": 1.0, "beam_width": beam,
            "lm_weight": float(weight), "lm_model": lm if weight else None}


def search_name(search):
    """"greedy", "beam_4", "beam_4+ctc_0.5", "beam_4+ctc_0.5+lm_0.1": (beam width, CTC weight, LM weight)."""
    beam, ctc, lm = search
    if beam == 1 and not ctc and not lm:
        return "greedy"
    return f"beam_{beam}" + (f"+ctc_{ctc:g}" if ctc else "") + (f"+lm_{lm:g}" if lm else "")


def error_rates(results):
    hypotheses = [r["generated"] for r in results]
    references = [r["target"] for r in results]
    return (100 * WordErrorRate()(hypotheses, references).item(),
            100 * CharErrorRate()(hypotheses, references).item())


def decoding_bound(frames, frames_per_char, cap):
    """The longest transcript, start and end tokens included, that `frames` of audio can hold.

    Beam search runs to its length limit, at a cost that grows with its
    square, so each batch is given the limit its own audio allows.
    """
    return min(cap, math.ceil(frames / frames_per_char) + 2)


def recognise(trainer, loader, search, lm, config, max_length, num_batches=None):
    """(WER, CER, seconds, results) of one search over `loader` (its first `num_batches`).

    The CTC head and the language model reach the trainer's recognition
    through its language-model slot, as one scorer weighted by itself.
    """
    beam, ctc_weight, lm_weight = search
    joint = ctc_search.JointScorer(trainer.tokenizer, ctc_weight, lm, lm_weight) \
        if ctc_weight or lm_weight else None
    setting = recognition_setting(beam, 1.0 if joint else 0.0, joint)
    frames_per_char = config["demo"]["min_frames_per_char"]
    start, results = time.time(), []
    for i, batch in enumerate(loader):
        if num_batches is not None and i >= num_batches:
            break
        if ctc_weight:
            joint.start(ctc_inputs(trainer, batch))
        bound = decoding_bound(int(batch[3].max()), frames_per_char, max_length)
        results += trainer.recognize([batch], setting, search_name(search), bound)
    return (*error_rates(results), time.time() - start, results)


@torch.inference_mode()
def ctc_inputs(trainer, batch):
    trainer.model.eval()
    return trainer.model.encode(batch[0].to(trainer.device), batch[3].to(trainer.device))[3]


def choose_search(trainer, loader, lm, config, max_length):
    """(beam width, CTC weight, LM weight) and every trial on the first dev-clean batches.

    The CTC head weighs in at `demo.ctc_weight`: dev-clean's voices are the
    training voices, on which the decoder alone does as well, while on unheard
    voices the CTC prefix scores keep the decoder from dropping or repeating
    words (examples/asr_study.py). The language model is then tried at each
    weight and taken only where it lowers both WER and CER (the lowest CER
    among those); otherwise its weight is 0.
    """
    demo = config["demo"]
    rates = {}

    def trial(search):
        *rates[search], _ = recognise(trainer, loader, search, lm, config, max_length,
                                      demo["tuning_batches"])
        wer, cer, seconds = rates[search]
        print(f"dev-clean, {search_name(search)}: WER {wer:.1f}% CER {cer:.1f}% ({seconds:.0f} s)", flush=True)

    base = (demo["beam_width"], float(demo["ctc_weight"]), 0.0)
    print(f"CTC weight: {base[1]:g} (demo.ctc_weight)")
    trial(base)
    candidates = [(base[0], base[1], float(w)) for w in demo["lm_weights"]]
    for search in candidates:
        trial(search)
    helping = [s for s in candidates if rates[s][0] <= rates[base][0] and rates[s][1] < rates[base][1]]
    chosen = min(helping, key=lambda s: rates[s][1]) if helping else base
    print(f"language model weight: {chosen[2]:g}" if chosen[2] else
          "language model weight: none lowers dev-clean WER and CER; beam search alone is reported")
    return chosen, rates


def recognise_heldout(trainer, loader, lm, chosen, config, max_length):
    """({setting: (WER, CER, seconds)}, {setting: results}, the reported setting) on the held-out voices.

    Greedy search, the search chosen without the language model, and with it
    when a weight was chosen.
    """
    searches = list(dict.fromkeys([(1, 0.0, 0.0), (chosen[0], chosen[1], 0.0), chosen]))
    scores, outputs = {}, {}
    for search in searches:
        name = search_name(search)
        *scores[name], outputs[name] = recognise(trainer, loader, search, lm, config, max_length)
        print(f"held-out voices, {name}: WER {scores[name][0]:.1f}% CER {scores[name][1]:.1f}% "
              f"({scores[name][2]:.0f} s)", flush=True)
        if len(scores) == 1:
            for r in outputs[name][:3]:
                print(f"  reference:  {r['target']}\n  recognised: {r['generated']}")
    return scores, outputs, name


def by_voice(items, reference, corpus):
    """{voice: items}, sorted by voice: utterances.tsv names each held-out sentence's voice."""
    with open(corpus / "utterances.tsv") as table:
        voice = {row["text"]: row["voice"] for row in csv.DictReader(table, delimiter="\t")
                 if row["partition"] == HELDOUT}
    groups = {}
    for item in items:
        groups.setdefault(voice.get(reference(item), "?"), []).append(item)
    return dict(sorted(groups.items()))


def print_voices(results, corpus):
    """Error rates per held-out voice."""
    for name, rows in by_voice(results, lambda r: r["target"], corpus).items():
        wer, cer = error_rates(rows)
        print(f"  {name:<25} {len(rows):4d} utterances  WER {wer:5.1f}%  CER {cer:5.1f}%")


def print_table(scores, count):
    print(f"\nheld-out voices ({count} utterances, speakers and sentences never trained on):")
    print(f"  {'setting':<18} {'WER %':>7} {'CER %':>7} {'seconds':>8}")
    for name, (wer, cer, seconds) in scores.items():
        print(f"  {name:<18} {wer:7.1f} {cer:7.1f} {seconds:8.1f}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", type=pathlib.Path, default=EXAMPLES / "demo.yaml")
    parser.add_argument("--corpus", type=pathlib.Path, default=None,
                        help="a corpus made by examples/make_corpus.py, used as it is "
                             "(default: the demo's own, built under data/demo-corpus when missing)")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                        help="override a dotted configuration key, e.g. model.d_model=96")
    parser.add_argument("--epochs", type=int, default=None, help="speech epochs (default: demo.epochs)")
    parser.add_argument("--lm-epochs", type=int, default=None, help="language-model epochs (default: demo.lm_epochs)")
    args = parser.parse_args(argv)
    config = load_config(args.config, args.set)
    # PyTorch 1.13's SequentialLR passes an epoch to its first scheduler itself and warns about it
    warnings.filterwarnings("ignore", message="The epoch parameter in `scheduler.step", category=UserWarning)
    demo = config["demo"]

    corpus = args.corpus
    if corpus is None:
        corpus = make_corpus.default_root()
        spoken = demo["corpus"]
        make_corpus.build(corpus, {key: spoken[key] for key in make_corpus.DEFAULT_SIZES}, demo["seed"],
                          bins=spoken["bins"], voices_per_sentence=spoken["voices_per_sentence"],
                          warp=spoken["warp"])
    elif not (corpus / "corpus.json").is_file():
        raise SystemExit(f"{corpus} holds no corpus (corpus.json): make one with examples/make_corpus.py")
    start = time.time()
    torch.manual_seed(demo["seed"])
    threads, why = torch_threads(demo.get("threads"))
    torch.set_num_threads(threads)
    print(f"torch threads: {threads} ({why})")
    use_cpu_precision(config, demo.get("bfloat16", "auto"))
    config["data"]["dataset"]["root"] = str(corpus / "speech")
    use_corpus_bins(config, corpus)
    tok = ZelTokenizer()

    phases = Phases()
    asr, loaders, test_bound, max_length = train_recogniser(config, tok, args.epochs or demo["epochs"])
    phases.end("speech training")
    evaluate_test(asr, loaders["test-clean"], test_bound)
    phases.end("test-clean evaluation")
    lm, lm_metrics = train_language_model(config, tok, corpus, args.lm_epochs or demo["lm_epochs"])
    print(f"language model on dev-clean text: perplexity per character {lm_metrics['perplexity_char']:.3f}")
    phases.end("language model")
    chosen, _ = choose_search(asr, loaders["dev-clean"], lm.model, config, max_length)
    phases.end("search weights on dev-clean")
    scores, outputs, reported = recognise_heldout(asr, loaders[HELDOUT], lm.model, chosen, config, max_length)
    phases.end("held-out recognition")
    asr.cleanup()
    lm.cleanup()

    report(scores, outputs, reported, len(loaders[HELDOUT].dataset), corpus, (asr, lm), phases, start)


def use_corpus_bins(config, corpus):
    """The features' bin count is the corpus's: the model and the dataset are given it."""
    bins = json.loads((corpus / "corpus.json").read_text())["settings"]["bins"]
    if bins != config["data"]["num_feats"]:
        print(f"features: {bins} bins, as the corpus has them (not {config['data']['num_feats']})")
    config["data"]["num_feats"] = config["data"]["dataset"]["num_feats"] = bins


def cpu_has_bfloat16():
    """Whether the CPU multiplies bfloat16 natively (AVX512-BF16 or AMX), from /proc/cpuinfo."""
    try:
        with open("/proc/cpuinfo") as info:
            flags = next((line.split(":", 1)[1].split() for line in info if line.startswith("flags")), [])
    except OSError:
        return False
    return "avx512_bf16" in flags or "amx_bf16" in flags


def use_cpu_precision(config, setting):
    """Training forward passes on the CPU in bfloat16 where it is native (`setting` "auto"), or as set.

    Both trainers get training.cpu_bfloat16; on a GPU they use float16 regardless.
    """
    if setting == "auto":
        on = cpu_has_bfloat16()
        why = "the CPU multiplies in bfloat16" if on else "the CPU has no bfloat16 products"
    else:
        on, why = bool(setting), "demo.bfloat16"
    config["training"]["cpu_bfloat16"] = config["lm"]["training"]["cpu_bfloat16"] = on
    if not torch.cuda.is_available():
        print(f"CPU training precision: {'bfloat16 autocast' if on else 'float32'} ({why})")


def torch_threads(setting):
    """(threads, why): the configured count, else every core but two.

    OpenMP threads spin while they wait for each other, so one core taken by
    another process stalls them all: with every core given to torch a busy
    neighbour slowed a training step by orders of magnitude. Two cores left
    free absorb such a neighbour at a small cost when the machine is quiet.
    """
    if setting:
        return int(setting), "demo.threads"
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    if cores <= 4:
        return cores, f"every one of {cores} cores"
    return cores - 2, f"{cores} cores, two left for other work"


class Phases:
    """Wall time per phase of the run, printed at the end."""

    def __init__(self):
        self.mark, self.times = time.time(), {}

    def end(self, name):
        now = time.time()
        self.times[name], self.mark = now - self.mark, now

    def text(self):
        return ", ".join(f"{name} {seconds:.0f} s" for name, seconds in self.times.items())


def report(scores, outputs, reported, count, corpus, trainers, phases, start):
    """The held-out table, the reported setting per voice, where the runs are, and the last line."""
    print_table(scores, count)
    print(f"\nper voice, {reported}:")
    print_voices(outputs[reported], corpus)
    asr, lm = trainers
    print(f"\nexperiments: {asr.expt_root} (speech) and {lm.expt_root} (language model): "
          "config.yaml, model_arch.txt, checkpoints/, attn/ heat-maps, text/ transcripts; "
          f"{RECOGNISER} for examples/transcribe.py")
    print(f"phases: {phases.text()}")
    wer, cer, _ = scores[reported]
    print(f"demo: CER {cer:.1f}% WER {wer:.1f}% on {count} held-out utterances, {time.time() - start:.0f} s")


if __name__ == "__main__":
    sys.exit(main())
