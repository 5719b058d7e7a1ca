"""The native .npy reader (src/domain/npy.h), through the test-only _npy_readercheck
extension: agreement with NumPy on every supported layout, refusal of bad
headers, a seeded mutation test against NumPy's own parser, and the replay of
inputs that once broke the reader."""

import io
import pathlib
import random
import struct

import numpy as np
import pytest

import _npy_readercheck

REGRESSIONS = pathlib.Path(__file__).parent / "fuzz" / "regressions"


def npy_bytes(array, version=(1, 0)):
    buf = io.BytesIO()
    np.lib.format.write_array(buf, array, version=version)
    return buf.getvalue()


def raw_header(text, version=1, data=b""):
    """A file whose header text is given verbatim."""
    body = text.encode("latin1")
    length = struct.pack("<H" if version == 1 else "<I", len(body))
    return b"\x93NUMPY" + bytes([version, 0]) + length + body + data


NUMERIC = ["<f4", ">f4", "<f2", ">f2", "<f8", ">f8", "|b1", "|i1", "<i2", ">i4", "<i8", "|u1",
           ">u2", "<u4", ">u8"]


@pytest.mark.parametrize("descr", NUMERIC)
@pytest.mark.parametrize("fortran", [False, True])
@pytest.mark.parametrize("version", [(1, 0), (2, 0), (3, 0)])
def test_numeric_rows_match_numpy(descr, fortran, version):
    a = (np.random.default_rng(1).standard_normal((7, 11)) * 50).astype(descr)
    if fortran:
        a = np.asfortranarray(a)
    data = npy_bytes(a, version)
    for rows in [None, 3, 0]:
        header, out = _npy_readercheck.read(data, rows)
        kept = a if rows is None else a[:rows]
        expect = np.ascontiguousarray(kept.astype(a.dtype.newbyteorder("=")))
        assert out == expect.tobytes()
    assert header["shape"] == (7, 11) and header["fortran_order"] == fortran


def test_tall_fortran_columns_are_read_in_pieces():
    # a column longer than the staging chunk takes the piecewise path
    a = np.asfortranarray(np.arange(300_000 * 2, dtype=">f8").reshape(300_000, 2))
    _, out = _npy_readercheck.read(npy_bytes(a), 200_001)
    assert out == np.ascontiguousarray(a[:200_001].astype("<f8")).tobytes()


@pytest.mark.parametrize(
    "array, text",
    [
        (np.array(list("HELLO")), "HELLO"),
        (np.array(["AB", "C", "", "DEF"]), "ABCDEF"),  # NUL padding dropped
        (np.array("WHOLE LINE"), "WHOLE LINE"),
        (np.array(list("ÄÖ€𝄞")).astype(">U1"), "ÄÖ€𝄞"),
        (np.array([], dtype="<U3"), ""),
    ],
)
def test_unicode_arrays_join_like_numpy(array, text):
    assert "".join(np.atleast_1d(array).tolist()) == text
    assert _npy_readercheck.read(npy_bytes(array, (3, 0)))[1] == text


def test_half_to_float_is_exact_for_every_pattern():
    bits = np.arange(65536, dtype=np.uint16)
    ours = np.frombuffer(_npy_readercheck.half_to_float(bits.tobytes()), dtype=np.float32)
    theirs = bits.view(np.float16).astype(np.float32)
    assert ours.tobytes() == theirs.tobytes() or np.array_equal(ours, theirs, equal_nan=True)
    nan = np.isnan(theirs)
    assert np.array_equal(ours[~nan].view(np.uint32), theirs[~nan].view(np.uint32))
    assert np.isnan(ours[nan]).all()


GOOD = "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }"
BAD = [
    (b"", "not a .npy file"),
    (b"\x93NUMP", "not a .npy file"),
    (b"PK\x03\x04" + b"\0" * 60, "not a .npy file"),
    (b"\x80\x04\x95" + b"\0" * 60, "not a .npy file"),  # a pickle
    (b"\x93NUMPY\x04\x00" + b"\0" * 60, "version 4.0"),
    (b"\x93NUMPY\x01\x01" + b"\0" * 60, "version 1.1"),
    (b"\x93NUMPY\x01\x00\x40", "truncated header"),
    (b"\x93NUMPY\x02\x00\xff\xff\xff\xff" + b" " * 64, "longer than the 10000 allowed"),
    (raw_header(GOOD)[:-5], "truncated header"),
    (raw_header(GOOD, data=b"\0" * 23), "truncated data"),  # shape larger than the file
    (raw_header(GOOD.replace("(2, 3)", "(2**40, 2)"), data=b"\0" * 24), "cannot parse"),
    (raw_header(GOOD.replace("(2, 3)", "(65536, 65536)")), "truncated data"),
    (raw_header(GOOD.replace("(2, 3)", "(9223372036854775807, 9223372036854775807)")),
     "shape too large"),
    (raw_header(GOOD.replace("(2, 3)", "(99999999999999999999,)")), "dimension too large"),
    (raw_header(GOOD.replace("(2, 3)", "(-2, -3)"), data=b"\0" * 24), "negative dimension"),
    (raw_header(GOOD.replace("(2, 3)", "(2, 3.0)"), data=b"\0" * 24), "cannot parse"),
    (raw_header(GOOD.replace("(2, 3)", "[2, 3]"), data=b"\0" * 24), "not a tuple"),
    (raw_header(GOOD.replace("(2, 3)", "(" + "1, " * 33 + ")"), data=b"\0" * 4), "32 dimensions"),
    (raw_header(GOOD.replace("(2, 3)", "((((((((((1,),),),),),),),),),)")), "nested too deeply"),
    (raw_header(GOOD.replace("False", "0"), data=b"\0" * 24), "fortran_order"),
    (raw_header(GOOD + "\n  ", data=b"\0" * 24), "after the dictionary"),
    (raw_header(GOOD.replace("'<f4'", "'<c8'"), data=b"\0" * 48), "not supported"),
    (raw_header(GOOD.replace("'<f4'", "'<f3'"), data=b"\0" * 48), "not supported"),
    (raw_header(GOOD.replace("'<f4'", "'<U0'"), data=b"\0" * 48), "not supported"),
    (raw_header(GOOD.replace("'<f4'", "[('a', '<f4')]"), data=b"\0" * 24), "structured"),
    (raw_header(GOOD.replace("'<f4'", "'|O'")), "Python objects"),
    (raw_header(GOOD.replace("'shape': (2, 3), ", "")), "header keys"),
    (raw_header(GOOD.replace("}", "'extra': 1}"), data=b"\0" * 24), "header keys"),
    (raw_header(GOOD.replace("}", "'shape': (1,)}"), data=b"\0" * 24), "header keys"),
    (raw_header(GOOD.replace("}", ""), data=b"\0" * 24), "cannot parse"),
    (raw_header(GOOD + "\0", data=b"\0" * 24), "cannot parse"),
    (raw_header(GOOD.replace("(2, 3)", "(02, 3)"), data=b"\0" * 24), "leading zeros"),
    (raw_header(GOOD.replace("(2, 3)", "(2L, 3)"), version=3, data=b"\0" * 24), "cannot parse"),
    (raw_header(GOOD.replace("'<f4'", "'<f4\\x00'"), data=b"\0" * 24), "cannot parse"),
]


@pytest.mark.parametrize("data, message", BAD, ids=[m for _, m in BAD])
def test_bad_files_are_refused(data, message):
    with pytest.raises(ValueError, match=message.replace(".", r"\.")):
        _npy_readercheck.parse_header(data)


def test_python2_long_suffix_is_accepted_in_versions_1_and_2():
    header = GOOD.replace("(2, 3)", "(2L, 3L)")
    for version in (1, 2):
        parsed = _npy_readercheck.parse_header(raw_header(header, version, b"\0" * 24))
        assert parsed["shape"] == (2, 3)


def numpy_verdict(data):
    """What np.load makes of a file: the array, or None when it refuses it."""
    try:
        return np.load(io.BytesIO(data), allow_pickle=False)
    except Exception:  # noqa: BLE001 - any refusal counts
        return None


SUPPORTED_KINDS = set("biufUS")


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(5)
        pos = rng.randrange(len(data)) if data else 0
        if op == 0 and data:
            data[pos] = rng.randrange(256)
        elif op == 1:
            data[pos:pos] = bytes([rng.choice(b" ,()':0123456789LTFU<>|fiub-\n")])
        elif op == 2 and data:
            del data[pos]
        elif op == 3:
            del data[rng.randrange(len(data) + 1):]
        elif op == 4 and len(data) > 10:
            data[8:10] = struct.pack("<H", rng.randrange(0, len(data) + 8))
    return bytes(data)


def test_mutated_headers_never_accept_what_numpy_refuses():
    rng = random.Random(1234)
    seeds = [npy_bytes(np.zeros((2, 3), "<f4")), npy_bytes(np.array(list("AB"))),
             npy_bytes(np.asfortranarray(np.ones((3, 2), ">i2")), (2, 0)),
             npy_bytes(np.array([b"AB"]), (3, 0))]
    accepted = 0
    for _ in range(4000):
        data = mutate(rng, rng.choice(seeds))
        try:
            ours = _npy_readercheck.read(data)
        except ValueError:
            continue
        accepted += 1
        theirs = numpy_verdict(data)
        assert theirs is not None, data
        assert theirs.dtype.kind in SUPPORTED_KINDS
        header, value = ours
        assert header["shape"] == theirs.shape, data
        if isinstance(value, str):
            assert value == "".join(np.atleast_1d(theirs).tolist())
        elif theirs.ndim == 2 and theirs.dtype.kind != "S":
            assert value == np.ascontiguousarray(theirs.astype(theirs.dtype.newbyteorder("="))).tobytes()
    assert accepted > 100  # the mutations do reach the readers


def regression_cases():
    return sorted(REGRESSIONS.glob("*.npy"))


@pytest.mark.parametrize("path", regression_cases(), ids=lambda p: p.name)
def test_fuzzing_regressions_are_refused_or_read(path, tmp_path, tokenizer):
    from corvantis.data.dunskell import LMDataset
    from corvantis.data.pimbrook import ASRDataset

    data = path.read_bytes()
    try:
        _npy_readercheck.read(data)
    except ValueError:
        pass
    # as a feature file and as a transcript file: loaded, or refused cleanly
    for sub in ["fbank", "text"]:
        (tmp_path / "p" / sub).mkdir(parents=True)
    (tmp_path / "p" / "fbank" / "a.npy").write_bytes(data)
    np.save(tmp_path / "p" / "text" / "a.npy", np.array(list("AB")))
    config = dict(root=str(tmp_path), num_feats=4, norm="global_mvn", specaug=False,
                  specaug_conf=dict(time_mask_width_range=1, freq_mask_width_range=1))
    with pytest.raises((ValueError, IndexError)):
        ASRDataset("p", config, tokenizer, True)
    (tmp_path / "p" / "text" / "a.npy").write_bytes(data)
    try:
        LMDataset("text", {"root": str(tmp_path / "p")}, tokenizer)
    except (ValueError, TypeError):
        pass
