"""ZelTokenizer: the character vocabulary the datasets and trainers share."""

import copy
import pickle

import pytest
import torch

from corvantis.data.tokenizer import ZelTokenizer


def test_default_vocabulary_layout(tokenizer):
    assert (tokenizer.pad_id, tokenizer.sos_id, tokenizer.eos_id, tokenizer.unk_id) == (0, 1, 2, 3)
    assert tokenizer.vocab[:6] == ["<pad>", "<sos>", "<eos>", "<unk>", " ", "'"]
    assert tokenizer.vocab[6:] == [chr(c) for c in range(ord("A"), ord("Z") + 1)]
    assert tokenizer.num_classes == 32 == len(tokenizer.vocab)


@pytest.mark.parametrize(
    "text, ids",
    [
        ("", []),
        ("AB", [6, 7]),
        ("ab", [6, 7]),
        ("it's z", [14, 25, 5, 24, 4, 31]),
        ("a1!é", [6, 3, 3, 3]),
    ],
)
def test_encode(tokenizer, text, ids):
    out = tokenizer.encode(text)
    assert out == ids and type(out) is list


def test_decode_round_trip_and_special_tokens(tokenizer):
    ids = [tokenizer.sos_id] + tokenizer.encode("HELLO THERE") + [tokenizer.eos_id, 0, 0]
    assert tokenizer.decode(ids, skip_special_tokens=True) == "HELLO THERE"
    assert tokenizer.decode(ids) == "<sos>HELLO THERE<eos><pad><pad>"
    assert tokenizer.decode([3, 6], skip_special_tokens=True) == "<unk>A"  # unknown is kept


@pytest.mark.parametrize(
    "ids",
    [[6, 7], (6, 7), iter([6, 7]), torch.tensor([6, 7]).tolist(), list(torch.tensor([6, 7]))],
)
def test_decode_accepts_any_iterable_of_ints(tokenizer, ids):
    assert tokenizer.decode(ids) == "AB"


@pytest.mark.parametrize("ids, error", [([32], ValueError), ([-1], ValueError), (["a"], TypeError), ([1.5], TypeError)])
def test_decode_refuses_bad_ids(tokenizer, ids, error):
    with pytest.raises(error):
        tokenizer.decode(ids)


def test_custom_character_set():
    tok = ZelTokenizer("abc")
    assert tok.num_classes == 7
    assert tok.encode("abcA") == [4, 5, 6, 3]  # lower-case vocabulary: no capital fallback to it
    assert tok.decode(tok.encode("cab")) == "cab"
    with pytest.raises(ValueError, match="repeat"):
        ZelTokenizer("aba")
    with pytest.raises(TypeError, match=r"Argument 'characters' has incorrect type \(expected str, got list\)"):
        ZelTokenizer(["a"])


def test_argument_errors(tokenizer):
    with pytest.raises(TypeError, match=r"^encode\(\) takes exactly 2 positional arguments \(1 given\)$"):
        tokenizer.encode()
    with pytest.raises(TypeError, match=r"Argument 'text' has incorrect type \(expected str, got int\)"):
        tokenizer.encode(5)
    with pytest.raises(TypeError, match=r"^decode\(\) got an unexpected keyword argument 'skip'$"):
        tokenizer.decode([1], skip=True)


def test_pickle_and_copy_keep_the_vocabulary():
    tok = ZelTokenizer("xyz")
    for clone in (pickle.loads(pickle.dumps(tok)), copy.deepcopy(tok)):
        assert type(clone) is ZelTokenizer and clone.vocab == tok.vocab
        assert clone.encode("zyx") == tok.encode("zyx")
