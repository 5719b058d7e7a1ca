"""LMDataset: transcript loading, items, padded batches and prompt sampling."""

import collections
import os
import pickle
import random
import struct

import numpy as np
import pytest
import torch
from torch.utils.data import DataLoader, Dataset

from corvantis.data.dunskell import LMDataset

PART = "train"


def write_texts(root, texts, names=None, partition=PART):
    os.makedirs(root / partition, exist_ok=True)
    for name, text in zip(names or [f"{i:03d}.npy" for i in range(len(texts))], texts):
        np.save(root / partition / name, np.array(list(text)))
    return root


def by_length(id_tokenizer, *lengths):
    """Texts "A", "AA", ... whose ids are as many 5s: shifted lengths are length + 1."""
    return [("A" * n) for n in lengths], id_tokenizer({"A" * n: [5] * n for n in lengths})


TEXTS = ["HELLO", "HI THERE", "OK", "A LONGER ONE", "NO"]


@pytest.fixture
def dataset(tmp_path, tokenizer):
    write_texts(tmp_path, TEXTS)
    return LMDataset(PART, {"root": str(tmp_path)}, tokenizer)


def test_construction(tmp_path, tokenizer, capsys):
    write_texts(tmp_path, ["BB", "A"], names=["b.npy", "a.npy"])
    (tmp_path / PART / "notes.txt").write_text("x")
    config = {"dataset": {"root": str(tmp_path)}, "other": 1}
    ds = LMDataset(partition=PART, config=config, tokenizer=tokenizer)
    assert list(vars(ds)) == [
        "config", "partition", "tokenizer", "eos_token", "sos_token", "pad_token", "text_dir",
        "text_files", "transcripts_shifted", "transcripts_golden", "total_chars",
        "total_tokens", "text_max_len", "avg_chars_per_token", "length"]
    assert ds.config is config and ds.text_dir == os.path.join(str(tmp_path), PART)
    assert ds.text_files == [os.path.join(ds.text_dir, n) for n in ["a.npy", "b.npy"]]
    assert ds.transcripts_shifted == [[1] + tokenizer.encode("A"), [1] + tokenizer.encode("BB")]
    assert ds.transcripts_golden == [tokenizer.encode("A") + [2], tokenizer.encode("BB") + [2]]
    assert (ds.total_chars, ds.total_tokens, ds.text_max_len, len(ds)) == (3, 3, 3, 2)
    out, err = capsys.readouterr()
    assert out == f"Loading transcripts for {PART} partition...\n" and "2/2" in err
    assert issubclass(LMDataset, Dataset)
    assert LMDataset.__doc__ == "Dataset for Language Model training/evaluation."


def test_token_counts(tmp_path, id_tokenizer):
    write_texts(tmp_path, ["ABC", "XY"])
    ds = LMDataset(PART, {"root": str(tmp_path)}, id_tokenizer({"ABC": [5, 6, 7], "XY": []}))
    assert ds.transcripts_shifted == [[1, 5, 6, 7], [1]]
    assert ds.transcripts_golden == [[5, 6, 7, 2], [2]]
    assert (ds.total_chars, ds.total_tokens, ds.text_max_len) == (5, 3, 4)
    assert ds.get_avg_chars_per_token() == 5 / 3


def test_empty_partition(tmp_path, tokenizer, capsys):
    os.makedirs(tmp_path / PART)
    ds = LMDataset(PART, {"root": str(tmp_path)}, tokenizer)
    assert len(ds) == 0 and ds.text_max_len == 0
    assert ds.get_avg_chars_per_token() == 0 and type(ds.get_avg_chars_per_token()) is int
    assert "Loading transcripts" in capsys.readouterr().out


@pytest.mark.parametrize("keys, kept", [
    ({"subset_size": 0.5}, 2), ({"subset_size": 1}, 5), ({"subset_size": 1.0}, 5),
    ({"subset_size": 3}, 3), ({"subset_size": 2.9}, 2), ({"subset_size": 10}, 5),
    ({"subset_size": -1}, 5), ({"subset_size": 0}, 5), ({"subset_size": 0.1}, 0),
    ({"subset": 2}, 2), ({"subset_size": 4, "subset": 2}, 4), ({}, 5),
])
def test_subset_rule(tmp_path, tokenizer, keys, kept):
    write_texts(tmp_path, TEXTS)
    ds = LMDataset(PART, {"root": str(tmp_path), **keys}, tokenizer)
    assert len(ds) == len(ds.text_files) == kept
    assert [os.path.basename(f) for f in ds.text_files] == [f"{i:03d}.npy" for i in range(kept)]


@pytest.mark.parametrize("args, message", [
    ((1, {}, None), "Argument 'partition' has incorrect type (expected str, got int)"),
    ((PART, collections.OrderedDict(root="."), None),
     "Argument 'config' has incorrect type (expected dict, got collections.OrderedDict)"),
])
def test_argument_types(args, message):
    with pytest.raises(TypeError) as info:
        LMDataset(*args)
    assert str(info.value) == message


def test_construction_failures(tmp_path, tokenizer):
    with pytest.raises(KeyError, match="root"):
        LMDataset(PART, {"dataset": {}}, tokenizer)
    with pytest.raises(FileNotFoundError):
        LMDataset("missing", {"root": str(tmp_path)}, tokenizer)
    write_texts(tmp_path, ["A"])
    with pytest.raises(TypeError):
        LMDataset(PART, {"root": str(tmp_path), "subset_size": None}, tokenizer)
    np.save(tmp_path / PART / "001.npy", np.arange(3))
    with pytest.raises(TypeError, match="expected str instance, int found"):
        LMDataset(PART, {"root": str(tmp_path)}, tokenizer)


def test_pickled_transcripts_are_refused(tmp_path, tokenizer):
    write_texts(tmp_path, ["A"])
    np.save(tmp_path / PART / "001.npy", np.array(["B", None], dtype=object), allow_pickle=True)
    with pytest.raises(ValueError, match="Refusing to load .*001.npy.*never unpickled"):
        LMDataset(PART, {"root": str(tmp_path)}, tokenizer)


def empty_array_file(path, shape, descr="<U1"):
    """A .npy file of no elements whose header declares `shape`."""
    header = f"{{'descr': '{descr}', 'fortran_order': False, 'shape': {shape}, }}"
    header += " " * (117 - len(header)) + "\n"
    path.write_bytes(b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode())


@pytest.mark.parametrize("shape", [(3, 0), (0, 4), (0,), (2, 0, 5), (2**50, 0), (0, 2**50)])
@pytest.mark.parametrize("descr", ["<U1", "<f4"])
def test_transcripts_of_no_elements_behave_as_the_join(tmp_path, tokenizer, shape, descr):
    os.makedirs(tmp_path / PART)
    empty_array_file(tmp_path / PART / "a.npy", shape, descr)
    small = tuple(min(d, 3) for d in shape)  # what NumPy's own join gives, without 2**50 lists
    expected = outcome(lambda: "".join(np.zeros(small, np.dtype(descr)).tolist()))
    got = outcome(lambda: LMDataset(PART, {"root": str(tmp_path)}, tokenizer).total_chars)
    assert got == (0 if expected == "" else expected)


@pytest.mark.parametrize("index, expect", [(0, 0), (-1, 4), (1.7, 1), (True, 1),
                                           (torch.tensor(3), 3)])
def test_items(dataset, index, expect):
    shifted, golden = dataset[index]
    assert shifted.dtype == golden.dtype == torch.int64
    assert shifted.tolist() == dataset.transcripts_shifted[expect]
    assert golden.tolist() == dataset.transcripts_golden[expect]


def test_item_errors(dataset):
    with pytest.raises(TypeError, match=r"Argument 'idx' has incorrect type \(expected int, got str\)"):
        dataset["0"]
    with pytest.raises(IndexError):
        dataset[5]


def test_collate_pads_to_the_batch(tmp_path, id_tokenizer):
    texts, tok = by_length(id_tokenizer, 3, 1)
    write_texts(tmp_path, texts)
    ds = LMDataset(PART, {"root": str(tmp_path)}, tok)
    shifted, golden, lengths = ds.collate_fn([ds[0], ds[1]])
    assert shifted.tolist() == [[1, 5, 5, 5], [1, 5, 0, 0]]
    assert golden.tolist() == [[5, 5, 5, 2], [5, 2, 0, 0]]
    assert lengths.tolist() == [4, 2] and lengths.dtype == torch.int64
    narrow = ds.collate_fn([(s.int(), g.int()) for s, g in [ds[0], ds[1]]])  # left to torch
    assert narrow[0].dtype == torch.int32 and narrow[0].tolist() == shifted.tolist()


@pytest.mark.parametrize("batch, error, message", [
    ((), TypeError, "Argument 'batch' has incorrect type (expected list, got tuple)"),
    ([], ValueError, "need more than 0 values to unpack"),
    ([(torch.ones(2),)], ValueError, "need more than 1 value to unpack"),
    ([(torch.ones(2),) * 3], ValueError, "too many values to unpack (expected 2)"),
])
def test_collate_errors(dataset, batch, error, message):
    with pytest.raises(error) as info:
        dataset.collate_fn(batch)
    assert str(info.value) == message


def python_collate(ds, batch):
    """The batch steps written out in Python."""
    shifted, golden = zip(*batch)
    lengths = torch.LongTensor([len(s) for s in shifted])
    pad = torch.nn.utils.rnn.pad_sequence
    return (pad(list(shifted), batch_first=True, padding_value=ds.pad_token),
            pad(list(golden), batch_first=True, padding_value=ds.pad_token), lengths)


def outcome(fn):
    """What fn returns, or the type and text of what it raises."""
    try:
        return fn()
    except Exception as e:
        return type(e).__name__, str(e)


@pytest.mark.parametrize("pad", [2**70, -(2**70), 2**63, 2**63 - 1, -(2**63), 2**1100, float("nan"),
                                 float("inf"), -float("inf"), 2.7, -3.5, True, np.float32(9.0)])
def test_pad_values_behave_as_in_pad_sequence(dataset, pad):
    dataset.pad_token = pad
    batch = [dataset[0], dataset[2]]
    ours, theirs = outcome(lambda: dataset.collate_fn(batch)), outcome(lambda: python_collate(dataset, batch))
    if isinstance(theirs, tuple) and isinstance(theirs[0], str):
        assert ours == theirs
    else:
        assert all(torch.equal(a, b) for a, b in zip(ours, theirs))


def test_pad_token_code_that_resizes_the_batch(isolated):
    # float(pad_token) runs after the lengths are taken and before anything is
    # padded, as in pad_sequence: the padding sees the new sizes
    out = isolated("""
        from pathlib import Path
        import torch
        from corvantis.data.dunskell import LMDataset
        from corvantis.data.tokenizer import ZelTokenizer
        from test_dunskell import PART, TEXTS, write_texts, python_collate

        ds = LMDataset(PART, {"root": str(write_texts(Path("."), TEXTS))}, ZelTokenizer())

        def batch_and_pad():
            batch = [tuple(t.clone() for t in ds[i]) for i in range(3)]

            class Pad(int):
                def __float__(self):
                    batch[0][0].resize_(1 << 16).fill_(7)
                    batch[1][1].resize_(1)
                    return 0.0

            return batch, Pad(0)

        batch, ds.pad_token = batch_and_pad()
        ours = ds.collate_fn(batch)
        batch, ds.pad_token = batch_and_pad()
        theirs = python_collate(ds, batch)
        print(all(torch.equal(a, b) for a, b in zip(ours, theirs)), tuple(ours[0].shape))
    """)
    assert out.splitlines()[-1] == "True (3, 65536)"


# ---- prompts --------------------------------------------------------------


def test_prompts_draw_like_random_sample(tmp_path, id_tokenizer):
    texts, tok = by_length(id_tokenizer, 2, 6, 4, 9, 3, 7, 5, 8)
    write_texts(tmp_path, texts)
    ds = LMDataset(PART, {"root": str(tmp_path)}, tok)
    random.seed(99)
    prompts, originals = ds.sample_prompts(num_samples=3, prompt_length=4, seed=11)
    after = random.random()
    random.seed(11)
    chosen = random.sample([i for i, s in enumerate(ds.transcripts_shifted) if len(s) > 4], 3)
    assert random.random() == after  # the generator is left where the draw left it
    assert [o.tolist() for o in originals] == [ds.transcripts_shifted[i] for i in chosen]
    assert prompts.shape == (3, 4) and prompts.dtype == torch.int64
    assert torch.equal(prompts, torch.stack([o[:4] for o in originals]))
    assert (prompts[:, 0] == 1).all() and all(o[-1] == 5 for o in originals)
    random.random()
    again = ds.sample_prompts(3, 4, 11)
    assert torch.equal(again[0], prompts)


def test_prompt_eligibility(tmp_path, id_tokenizer):
    texts, tok = by_length(id_tokenizer, 2, 4, 4)  # shifted lengths 3, 5, 5
    write_texts(tmp_path, texts)
    ds = LMDataset(PART, {"root": str(tmp_path)}, tok)
    with pytest.raises(RuntimeError, match="non-empty"):
        ds.sample_prompts(3, 5)
    prompts, originals = ds.sample_prompts(10, 4)
    assert prompts.shape == (2, 4) and sorted(len(o) for o in originals) == [5, 5]
    assert ds.sample_prompts(2, 0)[0].shape == (2, 0)
    assert len(ds.sample_prompts(5.9, 1.2, seed=3.5)[1]) == 3  # truncated to ints
    with pytest.raises(ValueError):
        ds.sample_prompts(-1, 1)
    with pytest.raises(TypeError, match="Argument 'seed' has incorrect type"):
        ds.sample_prompts(1, 1, "x")
    random.seed(52917)
    default = random.sample([0, 1, 2], 2)
    assert [len(o) for o in ds.sample_prompts(2, 0)[1]] == [[3, 5, 5][i] for i in default]


# ---- pickling and loaders -------------------------------------------------


def test_pickling_and_workers(dataset):
    copy = pickle.loads(pickle.dumps(dataset))
    assert list(vars(copy)) == list(vars(dataset)) and copy.transcripts_golden == dataset.transcripts_golden
    loader = DataLoader(dataset, batch_size=2, collate_fn=dataset.collate_fn, num_workers=2,
                        multiprocessing_context="fork")
    lengths = torch.cat([b[2] for b in loader]).tolist()
    assert lengths == [len(s) for s in dataset.transcripts_shifted]
