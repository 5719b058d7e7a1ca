"""ASRDataset: corpus loading, statistics, items, batches and SpecAugment."""

import collections
import os
import pickle
import struct
import textwrap

import numpy as np
import pytest
import torch
from torch.utils.data import DataLoader, Dataset, Subset

from corvantis.data import pimbrook
from corvantis.data.pimbrook import ASRDataset
from reference.collate import reference_collate

TRAIN, DEV, TEST = "train-clean-100", "dev-clean", "test-clean"
FREQ_W, TIME_W = 6, 5


def make_config(root, norm="none", specaug=False, **extra):
    conf = dict(time_mask_width_range=TIME_W, freq_mask_width_range=FREQ_W,
                apply_freq_mask=True, num_freq_mask=2, apply_time_mask=True, num_time_mask=2)
    return dict(root=str(root), num_feats=8, norm=norm, specaug=specaug, specaug_conf=conf,
                **extra)


def write_partition(root, partition, feats, texts=None, names=None):
    """One .npy file per utterance under fbank/ (and text/ when texts are given)."""
    names = names or [f"{i:03d}.npy" for i in range(len(feats))]
    os.makedirs(root / partition / "fbank", exist_ok=True)
    for name, feat in zip(names, feats):
        np.save(root / partition / "fbank" / name, feat)
    if texts is not None:
        os.makedirs(root / partition / "text", exist_ok=True)
        for name, text in zip(names, texts):
            np.save(root / partition / "text" / name, np.array(list(text)))
    return root


def random_feats(n, bins=8, seed=0, lo=3, hi=12):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal((bins, int(rng.integers(lo, hi)))).astype(np.float32)
            for _ in range(n)]


TEXTS = ["HELLO", "A CAT", "IT IS", "NO", "YES WE CAN"]


@pytest.fixture
def corpus(tmp_path):
    feats = random_feats(5, bins=10)
    write_partition(tmp_path, TRAIN, feats, TEXTS)
    write_partition(tmp_path, DEV, feats[:3], TEXTS[:3])
    write_partition(tmp_path, TEST, feats[:4])
    return tmp_path, feats


# ---- construction -----------------------------------------------------------


def test_construction_sets_the_attributes_in_order(corpus, tokenizer, capsys):
    root, feats = corpus
    ds = ASRDataset(TRAIN, make_config(root), tokenizer, 1)
    assert list(vars(ds)) == [
        "config", "partition", "isTrainPartition", "tokenizer", "eos_token", "sos_token",
        "pad_token", "fbank_dir", "fbank_files", "length", "text_dir", "text_files", "feats",
        "transcripts_shifted", "transcripts_golden", "total_chars", "total_tokens",
        "feat_max_len", "text_max_len", "avg_chars_per_token", "time_mask", "freq_mask"]
    out, err = capsys.readouterr()
    assert out == f"Loading data for {TRAIN} partition...\n"
    assert "5/5" in err  # the progress bar
    assert ds.isTrainPartition is True and len(ds) == ds.length == 5
    assert ds.fbank_dir == os.path.join(str(root), TRAIN, "fbank")
    assert ds.fbank_files == [os.path.join(ds.fbank_dir, f"{i:03d}.npy") for i in range(5)]
    assert ds.text_files == [os.path.join(ds.text_dir, f"{i:03d}.npy") for i in range(5)]
    encoded = [tokenizer.encode(t) for t in TEXTS]
    assert ds.transcripts_shifted == [[tokenizer.sos_id] + e for e in encoded]
    assert ds.transcripts_golden == [e + [tokenizer.eos_id] for e in encoded]
    assert ds.total_chars == sum(map(len, TEXTS)) and ds.total_tokens == sum(map(len, encoded))
    assert ds.text_max_len == 11 and ds.feat_max_len == max(f.shape[1] for f in feats)
    assert ds.get_avg_chars_per_token() == 1.0
    for kept, stored in zip(ds.feats, feats):
        assert type(kept) is np.ndarray and kept.shape == (8, stored.shape[1])
        assert kept.flags.owndata and kept.flags.c_contiguous and kept.base is None
        assert np.array_equal(kept, stored[:8])
    assert type(ds.time_mask) is pimbrook.tat.TimeMasking and ds.time_mask.iid_masks
    assert ds.time_mask.mask_param == TIME_W and ds.freq_mask.mask_param == FREQ_W
    assert not hasattr(ds, "global_mean") and not hasattr(ds, "global_std")


def test_module_and_class_look_like_python(corpus, tokenizer):
    assert issubclass(ASRDataset, Dataset) and ASRDataset.__module__ == "corvantis.data.pimbrook"
    assert [k for k in vars(ASRDataset) if not k.startswith("__") or k in (
        "__init__", "__len__", "__getitem__")] == [
        "__init__", "get_avg_chars_per_token", "__len__", "__getitem__", "collate_fn"]
    for name in ["Literal", "Tuple", "Optional", "os", "np", "tqdm", "torch", "Dataset",
                 "pad_sequence", "tat", "ZelTokenizer"]:
        assert hasattr(pimbrook, name)


def text_pairing(tmp_path, tokenizer):
    feats = random_feats(2)
    write_partition(tmp_path, TRAIN, feats, names=["b.npy", "a.npy"])
    (tmp_path / TRAIN / "fbank" / "notes.txt").write_text("x")
    os.makedirs(tmp_path / TRAIN / "text")
    np.save(tmp_path / TRAIN / "text" / "y.npy", np.array(list("YY")))
    np.save(tmp_path / TRAIN / "text" / "x.npy", np.array(list("X")))
    return ASRDataset(TRAIN, make_config(tmp_path), tokenizer, True), feats


def test_files_pair_by_sorted_position(tmp_path, tokenizer):
    ds, feats = text_pairing(tmp_path, tokenizer)
    assert [os.path.basename(f) for f in ds.fbank_files] == ["a.npy", "b.npy"]
    assert np.array_equal(ds.feats[0], feats[1])  # a.npy
    assert ds.transcripts_golden == [tokenizer.encode("X") + [2], tokenizer.encode("YY") + [2]]


@pytest.mark.parametrize("extra, n_files, kept", [
    ({"subset_size": 0.5}, 11, 5),
    ({"subset_size": 1}, 11, 11),
    ({"subset_size": 1.0}, 11, 11),
    ({"subset_size": 2.0}, 11, 2),
    ({"subset_size": 0}, 11, 11),
    ({"subset": 3}, 11, 3),
    ({"subset_size": -1, "subset": 3}, 11, 11),
])
def test_subset_rule(tmp_path, tokenizer, extra, n_files, kept):
    write_partition(tmp_path, TRAIN, random_feats(n_files), ["A"] * n_files)
    ds = ASRDataset(TRAIN, make_config(tmp_path, **extra), tokenizer, True)
    assert len(ds) == len(ds.feats) == len(ds.text_files) == kept
    assert ds.fbank_files == sorted(ds.fbank_files)


def test_file_counts_must_match_after_the_cut(tmp_path, tokenizer):
    write_partition(tmp_path, TRAIN, random_feats(4), ["A"] * 4)
    for i in range(4, 6):
        np.save(tmp_path / TRAIN / "text" / f"{i:03d}.npy", np.array(["B"]))
    assert len(ASRDataset(TRAIN, make_config(tmp_path, subset_size=0.5), tokenizer, True)) == 2
    with pytest.raises(ValueError, match="^Number of feature and transcript files must match$"):
        ASRDataset(TRAIN, make_config(tmp_path), tokenizer, True)


def test_unlabelled_partition(corpus, tokenizer):
    root, feats = corpus
    ds = ASRDataset(TEST, make_config(root, specaug=True), tokenizer, False)
    assert not hasattr(ds, "text_dir") and not hasattr(ds, "text_files")
    assert ds.transcripts_shifted == [] and ds.transcripts_golden == []
    assert ds.total_tokens == 0 and ds.text_max_len == 0
    assert ds.get_avg_chars_per_token() == 0 and type(ds.get_avg_chars_per_token()) is int
    feat, shifted, golden = ds[0]
    assert shifted is None and golden is None and feat.shape == (8, feats[0].shape[1])
    batch = ds.collate_fn([ds[0], ds[1]])
    assert len(batch) == 5 and batch[1] is None and batch[2] is None and batch[4] is None


@pytest.mark.parametrize("stored_rows, num_feats, kept", [(100, 80, 80), (60, 80, 60), (10, -2, 8)])
def test_num_feats_keeps_leading_rows(tmp_path, tokenizer, stored_rows, num_feats, kept):
    feat = np.arange(stored_rows * 3, dtype=np.float32).reshape(stored_rows, 3)
    write_partition(tmp_path, TRAIN, [feat], ["A"])
    config = dict(make_config(tmp_path), num_feats=num_feats)
    ds = ASRDataset(TRAIN, config, tokenizer, True)
    assert np.array_equal(ds.feats[0], feat[:num_feats]) and ds.feats[0].shape[0] == kept
    assert ds.feat_max_len == 3


def test_tokenised_transcripts(tmp_path, id_tokenizer):
    write_partition(tmp_path, TRAIN, random_feats(2), ["HELLO", "HI"])
    ds = ASRDataset(TRAIN, make_config(tmp_path), id_tokenizer({"HELLO": [7, 8], "HI": []}), True)
    assert ds.transcripts_shifted == [[1, 7, 8], [1]]
    assert ds.transcripts_golden == [[7, 8, 2], [2]]
    assert (ds.total_chars, ds.total_tokens, ds.text_max_len) == (7, 2, 3)
    assert ds.avg_chars_per_token == 3.5


# ---- global statistics ----------------------------------------------------


def two_pass(feats):
    frames = np.concatenate([f.astype(np.float32).astype(np.float64) for f in feats], axis=1)
    return frames.mean(axis=1), np.sqrt(frames.var(axis=1, ddof=1) + 1e-8)


def test_global_stats_of_two_constant_utterances(tmp_path, tokenizer):
    feats = [np.full((8, 4), 1.0, np.float32), np.full((8, 4), 3.0, np.float32)]
    write_partition(tmp_path, TRAIN, feats, ["A", "B"])
    ds = ASRDataset(TRAIN, make_config(tmp_path, norm="global_mvn"), tokenizer, True)
    assert list(vars(ds))[-4:] == ["global_std", "global_mean", "time_mask", "freq_mask"]
    assert ds.global_mean.dtype == ds.global_std.dtype == torch.float32
    assert torch.equal(ds.global_mean, torch.full((8,), 2.0))
    assert torch.allclose(ds.global_std, torch.full((8,), np.sqrt(8 / 7 + 1e-8)), rtol=1e-7)


@pytest.mark.parametrize("dtype", ["<f4", ">f8", "<f2", "<i2", ">u2"])
def test_global_stats_match_a_two_pass_computation(tmp_path, tokenizer, dtype):
    # a large offset and a small spread: a sum-of-squares variance loses it
    rng = np.random.default_rng(3)
    feats = [(1000 + rng.standard_normal((8, int(rng.integers(1, 40)))) * (3 if "i" in dtype
              or "u" in dtype else 0.01)).astype(dtype) for _ in range(30)]
    write_partition(tmp_path, TRAIN, feats, ["A"] * 30)
    ds = ASRDataset(TRAIN, make_config(tmp_path, norm="global_mvn"), tokenizer, True)
    mean, std = two_pass(feats)
    np.testing.assert_allclose(ds.global_mean.numpy(), mean.astype(np.float32), rtol=1.2e-7)
    np.testing.assert_allclose(ds.global_std.numpy(), std.astype(np.float32), rtol=1.2e-7)


def test_a_single_training_frame_is_refused(tmp_path, tokenizer):
    write_partition(tmp_path, TRAIN, [np.ones((8, 1), np.float32)], ["A"])
    with pytest.raises(ValueError, match="at least two feature frames"):
        ASRDataset(TRAIN, make_config(tmp_path, norm="global_mvn"), tokenizer, True)


def test_an_empty_training_partition_gets_neutral_stats(tmp_path, tokenizer):
    write_partition(tmp_path, TRAIN, [], [])
    ds = ASRDataset(TRAIN, make_config(tmp_path, norm="global_mvn"), tokenizer, True)
    assert torch.equal(ds.global_mean, torch.zeros(8))
    assert torch.allclose(ds.global_std, torch.full((8,), 1e-4))
    assert ds.feat_max_len == 0 and ds.text_max_len == 0


def test_non_training_partitions_need_given_stats(corpus, tokenizer, capsys):
    root, _ = corpus
    with pytest.raises(ValueError, match="^global_stats must be provided for non-training "
                                         "partitions when using global_mvn$"):
        ASRDataset(DEV, make_config(root, norm="global_mvn"), tokenizer, False)
    assert capsys.readouterr().out == ""
    stats = (torch.arange(8.0), torch.ones(8))
    ds = ASRDataset(DEV, make_config(root, norm="global_mvn"), tokenizer, False, stats)
    assert ds.global_mean is stats[0] and ds.global_std is stats[1]
    assert list(vars(ds))[-4:] == ["global_mean", "global_std", "time_mask", "freq_mask"]


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(config=collections.OrderedDict()), TypeError,
     "Argument 'config' has incorrect type (expected dict, got collections.OrderedDict)"),
    (dict(global_stats=[1, 2]), TypeError,
     "Argument 'global_stats' has incorrect type (expected tuple, got list)"),
    (dict(global_stats=(1, 2, 3)), ValueError, "too many values to unpack (expected 2)"),
    (dict(global_stats=(1,)), ValueError, "need more than 1 value to unpack"),
])
def test_argument_errors(corpus, tokenizer, kwargs, error, message):
    root, _ = corpus
    args = dict(partition=DEV, config=make_config(root, norm="global_mvn"), tokenizer=tokenizer,
                isTrainPartition=False)
    args.update(kwargs)
    with pytest.raises(error) as info:
        ASRDataset(**args)
    assert str(info.value) == message


def test_missing_keys_fail_where_they_are_read(corpus, tokenizer, capsys):
    root, _ = corpus
    for key in ["root", "norm", "num_feats", "specaug_conf"]:
        config = make_config(root)
        del config[key]
        with pytest.raises(KeyError, match=key):
            ASRDataset(TRAIN, config, tokenizer, True)
    assert capsys.readouterr().out.count("Loading data") == 2  # num_feats and specaug_conf


# ---- items ----------------------------------------------------------------


def test_items_under_each_normalisation(corpus, tokenizer):
    root, feats = corpus
    train = ASRDataset(TRAIN, make_config(root, norm="global_mvn"), tokenizer, True)
    f, shifted, golden = train[1]
    expect = (torch.from_numpy(feats[1][:8]) - train.global_mean[:, None]) / (
        train.global_std[:, None] + 1e-8)
    assert torch.equal(f, expect) and f.dtype == torch.float32
    assert shifted.dtype == golden.dtype == torch.int64
    assert shifted.tolist() == train.transcripts_shifted[1]
    assert golden.tolist() == train.transcripts_golden[1]

    cep = ASRDataset(TRAIN, make_config(root, norm="cepstral"), tokenizer, True)[2][0]
    assert torch.allclose(cep.mean(dim=1), torch.zeros(8), atol=1e-6)
    assert torch.allclose(cep.std(dim=1), torch.ones(8), atol=1e-5)
    raw = ASRDataset(TRAIN, make_config(root, norm="none"), tokenizer, True)
    assert torch.equal(raw[0][0], torch.from_numpy(feats[0][:8]))
    # any other text is a typo, refused before anything loads
    with pytest.raises(ValueError, match="norm must be 'global_mvn', 'cepstral' or 'none', "
                                         "got 'whatever'"):
        ASRDataset(TRAIN, make_config(root, norm="whatever"), tokenizer, True)


def test_cepstral_single_frame_is_nan(tmp_path, tokenizer):
    write_partition(tmp_path, TRAIN, [np.ones((8, 1), np.float32)], ["A"])
    assert torch.isnan(ASRDataset(TRAIN, make_config(tmp_path, norm="cepstral"), tokenizer,
                                  True)[0][0]).all()


def test_missing_stats_fail_the_assertion(corpus, tokenizer):
    root, _ = corpus
    ds = ASRDataset(DEV, make_config(root, norm="global_mvn"), tokenizer, False, (None, None))
    with pytest.raises(AssertionError, match="Global mean and std must be computed before"):
        ds[0]


@pytest.mark.parametrize("index, expect", [(0, 0), (-1, 4), (torch.tensor(3), 3),
                                           (torch.tensor([2]), 2), (np.int64(1), 1)])
def test_index_kinds(corpus, tokenizer, index, expect):
    root, feats = corpus
    ds = ASRDataset(TRAIN, make_config(root), tokenizer, True)
    assert torch.equal(ds[index][0], torch.from_numpy(feats[expect][:8]))


def test_index_out_of_range(corpus, tokenizer):
    ds = ASRDataset(TRAIN, make_config(corpus[0]), tokenizer, True)
    with pytest.raises(IndexError):
        ds[5]


# ---- batches --------------------------------------------------------------


def assert_batches_equal(a, b):
    assert len(a) == len(b) == 5
    for x, y in zip(a, b):
        assert (x is None and y is None) or (torch.equal(x, y) and x.dtype == y.dtype)


def test_padding(tmp_path, id_tokenizer):
    feats = [np.ones((8, 5), np.float32), np.full((8, 3), 2.0, np.float32)]
    write_partition(tmp_path, TRAIN, feats, ["AB", "ABCD"])
    ds = ASRDataset(TRAIN, make_config(tmp_path), id_tokenizer({"AB": [5, 6], "ABCD": [5, 6, 7, 8]}),
                    True)
    padded, shifted, golden, lengths, t_lengths = ds.collate_fn([ds[0], ds[1]])
    assert padded.shape == (2, 5, 8) and padded.is_contiguous()
    assert torch.equal(padded[1, 3:], torch.zeros(2, 8)) and torch.equal(padded[1, :3], torch.full((3, 8), 2.0))
    assert lengths.tolist() == [5, 3] and t_lengths.tolist() == [3, 5]
    assert shifted.tolist() == [[1, 5, 6, 0, 0], [1, 5, 6, 7, 8]]
    assert golden.tolist() == [[5, 6, 2, 0, 0], [5, 6, 7, 8, 2]]


@pytest.mark.parametrize("norm, specaug, train, change", [
    ("global_mvn", True, True, {}),
    ("cepstral", True, True, {"num_freq_mask": 0, "num_time_mask": 3}),
    ("none", True, True, {"apply_freq_mask": False}),
    ("none", True, True, {"apply_time_mask": False}),
    ("none", False, True, {}),
])
def test_batches_match_the_python_steps(corpus, tokenizer, norm, specaug, train, change):
    root, _ = corpus
    config = make_config(root, norm=norm, specaug=specaug)
    config["specaug_conf"].update(change)
    ds = ASRDataset(TRAIN, config, tokenizer, train)
    items = [ds[i] for i in range(5)]
    torch.manual_seed(7)
    ours = ds.collate_fn(items)
    after = torch.rand(1)
    torch.manual_seed(7)
    assert_batches_equal(ours, reference_collate(ds, items))
    assert torch.equal(torch.rand(1), after)  # the same draws were taken


@pytest.mark.parametrize("feature_kind", ["float64", "grad", "replaced_transform"])
def test_other_inputs_take_the_general_path(corpus, tokenizer, feature_kind):
    root, _ = corpus
    ds = ASRDataset(TRAIN, make_config(root, specaug=True), tokenizer, True)
    items = [ds[i] for i in range(4)]
    if feature_kind == "float64":
        items = [(f.double(), s, g) for f, s, g in items]
    if feature_kind == "grad":
        items = [(f.requires_grad_(), s, g) for f, s, g in items]
    if feature_kind == "replaced_transform":
        seen = []
        ds.time_mask = lambda x: seen.append(x.shape) or x * 2
    torch.manual_seed(3)
    ours = ds.collate_fn(items)
    if feature_kind == "replaced_transform":
        assert seen == [(4, 1, 8, ours[0].shape[1])] * 2
    torch.manual_seed(3)
    theirs = reference_collate(ds, items)
    for x, y in zip(ours, theirs):
        assert torch.equal(x, y)


def test_each_utterance_gets_its_own_masks(tmp_path, tokenizer):
    write_partition(tmp_path, TRAIN, [np.ones((8, 40), np.float32)] * 16, ["A"] * 16)
    config = make_config(tmp_path, specaug=True)
    config["specaug_conf"].update(num_freq_mask=1, num_time_mask=1)
    ds = ASRDataset(TRAIN, config, tokenizer, True)
    torch.manual_seed(0)
    padded = ds.collate_fn([ds[i] for i in range(16)])[0]
    assert padded.shape == (16, 40, 8)
    masked_bins = {tuple((padded[b] == 0).all(dim=0).tolist()) for b in range(16)}
    masked_frames = {tuple((padded[b] == 0).all(dim=1).tolist()) for b in range(16)}
    assert len(masked_bins) > 4 and len(masked_frames) > 4


def test_no_masks_outside_training(corpus, tokenizer):
    root, _ = corpus
    config = make_config(root, specaug=True)
    config["specaug_conf"] = {"time_mask_width_range": 3, "freq_mask_width_range": 3}
    ds = ASRDataset(DEV, config, tokenizer, False)
    items = [ds[i] for i in range(3)]
    assert_batches_equal(ds.collate_fn(items), reference_collate(ds, items))
    del config["specaug"]
    with pytest.raises(KeyError, match="specaug"):
        ds.collate_fn(items)


# ---- safety of the reader --------------------------------------------------


class Trap:
    """Unpickling it would leave a file behind."""

    path = None

    def __reduce__(self):
        return (open, (self.path, "w"))


@pytest.mark.parametrize("partition, subdir", [(TRAIN, "text"), (TRAIN, "fbank")])
def test_pickled_arrays_are_refused_and_never_run(tmp_path, tokenizer, partition, subdir):
    write_partition(tmp_path, TRAIN, random_feats(2), ["A", "B"])
    Trap.path = str(tmp_path / "ran")
    target = tmp_path / TRAIN / subdir / "001.npy"
    np.save(target, np.array([Trap()], dtype=object), allow_pickle=True)
    with pytest.raises(ValueError, match=f"Refusing to load '{target}'.*never unpickled"):
        ASRDataset(partition, make_config(tmp_path), tokenizer, True)
    assert not (tmp_path / "ran").exists()


def corrupt(path, how):
    data = path.read_bytes()
    if how == "truncated":
        path.write_bytes(data[:-7])
    elif how == "lying shape":
        path.write_bytes(data.replace(b"(8, ", b"(9, "))
    elif how == "huge header":
        path.write_bytes(data[:8] + b"\xff\xff" + data[10:])
    elif how == "pickle":
        path.write_bytes(pickle.dumps([1, 2]))
    elif how == "unknown dtype":
        path.write_bytes(data.replace(b"<f4", b"<c8"))


@pytest.mark.parametrize("how, message", [
    ("truncated", "truncated data"), ("lying shape", "truncated data"),
    ("huge header", "longer than the 10000 allowed"), ("pickle", "not a .npy file"),
    ("unknown dtype", "dtype '<c8' is not supported")])
def test_malformed_feature_files_name_the_file(tmp_path, tokenizer, how, message):
    write_partition(tmp_path, TRAIN, random_feats(3), ["A"] * 3)
    target = tmp_path / TRAIN / "fbank" / "001.npy"
    corrupt(target, how)
    with pytest.raises(ValueError, match=f"'{target}'.*{message}"):
        ASRDataset(TRAIN, make_config(tmp_path), tokenizer, True)


@pytest.mark.parametrize("feat, error, message", [
    (np.ones(5, np.float32), IndexError, "array is 1-dimensional, but 2 were indexed"),
    (np.ones((8, 2, 2), np.float32), ValueError, "2-D array"),
    (np.array([["A"]]), ValueError, "must be numbers"),
])
def test_feature_arrays_must_be_numeric_matrices(tmp_path, tokenizer, feat, error, message):
    write_partition(tmp_path, TRAIN, [feat], ["A"])
    with pytest.raises(error, match=message):
        ASRDataset(TRAIN, make_config(tmp_path), tokenizer, True)


def test_missing_and_special_files(tmp_path, tokenizer):
    write_partition(tmp_path, TRAIN, random_feats(2), ["A", "B"])
    os.remove(tmp_path / TRAIN / "text" / "001.npy")
    os.mkfifo(tmp_path / TRAIN / "text" / "001.npy")  # must not block
    with pytest.raises(ValueError, match="not a regular file"):
        ASRDataset(TRAIN, make_config(tmp_path), tokenizer, True)
    os.remove(tmp_path / TRAIN / "text" / "001.npy")
    os.mkdir(tmp_path / TRAIN / "text" / "001.npy")
    with pytest.raises(IsADirectoryError):
        ASRDataset(TRAIN, make_config(tmp_path), tokenizer, True)


def test_other_layouts_load_like_numpy(tmp_path, id_tokenizer):
    feats = [np.asfortranarray(random_feats(1, bins=10)[0]).astype(">f4"),
             random_feats(1, seed=2)[0].astype("<f2")]
    write_partition(tmp_path, TRAIN, feats)
    os.makedirs(tmp_path / TRAIN / "text")
    np.save(tmp_path / TRAIN / "text" / "000.npy", np.array(list("ÅB")).astype(">U1"))
    np.save(tmp_path / TRAIN / "text" / "001.npy", np.array("WHOLE"))
    ds = ASRDataset(TRAIN, make_config(tmp_path), id_tokenizer({"ÅB": [9], "WHOLE": [4]}), True)
    assert ds.feats[0].dtype == np.dtype("=f4") and ds.feats[1].dtype == np.float16
    assert np.array_equal(ds.feats[0], feats[0][:8]) and np.array_equal(ds.feats[1], feats[1])
    assert ds.total_chars == 7
    assert torch.equal(ds[0][0], torch.from_numpy(feats[0][:8].astype(np.float32)))


def test_byte_string_transcripts_fail_in_the_join(tmp_path, tokenizer):
    write_partition(tmp_path, TRAIN, random_feats(1))
    os.makedirs(tmp_path / TRAIN / "text")
    np.save(tmp_path / TRAIN / "text" / "000.npy", np.array([b"A", b"B"]))
    with pytest.raises(TypeError, match="expected str instance, bytes found"):
        ASRDataset(TRAIN, make_config(tmp_path), tokenizer, True)


# ---- inputs that native code must survive -----------------------------------
# Each runs in its own interpreter (in tmp_path, where the corpus lies): the
# faults they guard against end the process.

HOSTILE = """
    from pathlib import Path
    import numpy as np, torch
    from corvantis.data.pimbrook import ASRDataset
    from corvantis.data.tokenizer import ZelTokenizer
    from reference.collate import reference_collate
    from test_pimbrook import TRAIN, make_config

    def summary(fn):
        try:
            padded = fn()[0]
        except Exception as e:
            return f"{type(e).__name__}: {str(e).splitlines()[0]}"
        return f"{tuple(padded.shape)} {padded.device} {padded.layout}"
"""


def hostile(code):
    return textwrap.dedent(HOSTILE) + textwrap.dedent(code)


CONVERSIONS = ["to_sparse()", "to_sparse_csr()", "to_mkldnn()", "to('meta')", "t().contiguous().t()[::2]"]


def test_features_the_native_padding_cannot_read_go_to_pad_sequence(isolated, tmp_path):
    write_partition(tmp_path, TRAIN, random_feats(3), ["AB", "CDE", "F"])
    out = isolated(hostile(f"""
        ds = ASRDataset(TRAIN, make_config(Path(".")), ZelTokenizer(), True)
        for convert in {CONVERSIONS!r}:
            items = [(eval("f." + convert), s, g) for f, s, g in (ds[0], ds[1])]
            ours = summary(lambda: ds.collate_fn(items))
            print(convert, ours == summary(lambda: reference_collate(ds, items)), ours)
    """))
    same = {line.split()[0]: line.split()[1] for line in out.splitlines()[-len(CONVERSIONS):]}
    assert same == dict.fromkeys(CONVERSIONS, "True"), out


# Python code that collate_fn runs (the pad value's conversion, the mask
# transforms) changes the batch's tensors: features are padded before it
# runs, targets after, as the batch steps written in Python do.
CHANGES = {
    "resized": "f.resize_(8, 1 << 14).fill_(7.0), s.resize_(1 << 10).fill_(7)",
    "new-storage": "f.set_(torch.full((8, 1 << 14), 7.0)), s.set_(torch.full((40,), 7))",
    "shrunk-storage": "f.storage().resize_(0), s.resize_(1)",
}


@pytest.mark.parametrize("where", ["pad value", "mask transform"])
def test_python_code_run_by_collate_cannot_move_what_is_copied(isolated, tmp_path, where):
    write_partition(tmp_path, TRAIN, random_feats(3), ["AB", "CDE", "F"])
    out = isolated(hostile(f"""
        ds = ASRDataset(TRAIN, make_config(Path("."), specaug=True), ZelTokenizer(), True)
        change = None

        class Pad(int):
            def __float__(self):
                if "{where}" == "pad value":
                    change()
                return 0.0

        def hook(*_):
            if "{where}" == "mask transform":
                change()

        ds.pad_token = Pad(0)
        ds.freq_mask.register_forward_hook(hook)
        for name, code in {CHANGES!r}.items():
            results = []
            for collate in (ds.collate_fn, lambda items: reference_collate(ds, items)):
                items = [tuple(t.clone() for t in ds[i]) for i in range(3)]
                f, s = items[1][0], items[1][1]
                change = lambda: eval(code)
                torch.manual_seed(5)
                results.append(collate(items))
            print(name, all(torch.equal(a, b) for a, b in zip(*results)))
    """))
    assert out.splitlines()[-len(CHANGES):] == [f"{name} True" for name in CHANGES], out


def test_zero_bins_with_a_huge_frame_count_pad_to_nothing(isolated, tmp_path):
    write_partition(tmp_path, TRAIN, random_feats(2), ["A", "B"])
    # a 128-byte file whose header declares 2**50 frames of no bins
    header = "{'descr': '<f4', 'fortran_order': False, 'shape': (0, 1125899906842624), }"
    header += " " * (117 - len(header)) + "\n"
    (tmp_path / TRAIN / "fbank" / "001.npy").write_bytes(
        b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode())
    out = isolated(hostile("""
        ds = ASRDataset(TRAIN, make_config(Path(".")), ZelTokenizer(), True)
        padded, _, _, lengths, _ = ds.collate_fn([ds[1]])
        print(tuple(padded.shape), lengths.tolist())
    """), timeout=30)
    assert out.splitlines()[-1] == "(1, 1125899906842624, 0) [1125899906842624]"


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("dtype", ["<f4", ">f8", "<f2"])
def test_global_stats_refuse_non_finite_features(tmp_path, tokenizer, value, dtype):
    feats = [f.astype(dtype) for f in random_feats(4)]
    feats[2][3, 1] = feats[3][0, 0] = value
    write_partition(tmp_path, TRAIN, feats, ["A"] * 4)
    bad = tmp_path / TRAIN / "fbank" / "002.npy"
    with pytest.raises(ValueError, match=f"global_mvn: the features in '{bad}' hold non-finite"):
        ASRDataset(TRAIN, make_config(tmp_path, norm="global_mvn"), tokenizer, True)
    given = (torch.zeros(8), torch.ones(8))  # nothing is computed: nothing to refuse
    assert len(ASRDataset(TRAIN, make_config(tmp_path, norm="global_mvn"), tokenizer, True,
                          given)) == 4
    assert len(ASRDataset(TRAIN, make_config(tmp_path, norm="cepstral"), tokenizer, True)) == 4


# ---- pickling and data loaders --------------------------------------------


def test_pickle_round_trip(corpus, tokenizer):
    ds = ASRDataset(TRAIN, make_config(corpus[0], norm="global_mvn"), tokenizer, True)
    copy = pickle.loads(pickle.dumps(ds))
    assert type(copy) is ASRDataset and list(vars(copy)) == list(vars(ds))
    assert torch.equal(copy[2][0], ds[2][0])


@pytest.mark.parametrize("context", ["fork", "spawn"])
def test_data_loader_workers(corpus, tokenizer, context):
    root, _ = corpus
    ds = ASRDataset(TRAIN, make_config(root, norm="cepstral", specaug=True), tokenizer, True)
    subset = Subset(ds, torch.randperm(len(ds)))
    loader = DataLoader(subset, batch_size=2, collate_fn=ds.collate_fn, num_workers=1,
                        multiprocessing_context=context)
    batches = list(loader)
    assert [b[0].shape[0] for b in batches] == [2, 2, 1]
    assert sorted(sum((b[3].tolist() for b in batches), [])) == sorted(
        f.shape[1] for f in ds.feats)
