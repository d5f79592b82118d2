"""Encoder state bytes from Python: __getstate__/__setstate__, pickling and copying."""

import copy
import itertools
import math
import pickle
import random
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvel
from conftest import EMPTY_STATE, examples, run_peak_memory_script, u64

pd = pytest.importorskip("pandas")

PREFIX = "failed to unpickle Encoder: "
EOF = "io error: unexpected end of file"
MIB = 1 << 20


def text(value: bytes):
    return u64(len(value)) + value


# The learned encoding of one text column (column 1) holding "b", "a" and "nan", split
# into its entries so that they can be put in any order.
EXAMPLE_HEAD = b"\x01" + u64(1) + u64(1) + u64(1) + u64(1) + u64(3)
EXAMPLE_CODES = [
    text(b"a") + b"\x01" + u64(0),
    text(b"nan") + b"\x00",
    text(b"b") + b"\x01" + u64(1),
]
EXAMPLE_MIDDLE = u64(1) + u64(1) + u64(2)
EXAMPLE_DECODES = [u64(0) + text(b"a"), u64(1) + text(b"b")]
EXAMPLE_TAIL = b"\x00\x00\x00\x00"


def example_state(codes=EXAMPLE_CODES, decodes=EXAMPLE_DECODES):
    return EXAMPLE_HEAD + b"".join(codes) + EXAMPLE_MIDDLE + b"".join(decodes) + EXAMPLE_TAIL


EXAMPLE_ORDERS = [
    (codes, decodes)
    for codes in itertools.permutations(EXAMPLE_CODES)
    for decodes in itertools.permutations(EXAMPLE_DECODES)
]


def small_frame():
    return pd.DataFrame(
        {
            "n": [1.5, -2.0, 3.0, 4.0],
            "t": ["b", "a", "nan", "b"],
            "m": [0.0, 1.0, 2.0, 3.0],
            "u": ["x", "\u00e9", "\U0001f600", "<NA>"],
        }
    )


def learned_encoder():
    encoder = quorvel.Encoder()
    encoder.encode(small_frame())
    return encoder


def other_encoder():
    """An encoder whose state differs from learned_encoder's, to receive failed states."""
    encoder = quorvel.Encoder()
    encoder.encode(pd.DataFrame({"k": ["q", "r"], "v": [1.0, 2.0]}))
    return encoder


def assert_same_frame_decoding(original, copied):
    coded, _ = original.encode(small_frame())
    pd.testing.assert_frame_equal(copied.decode(coded), original.decode(coded))


# --- __setstate__ failures ---------------------------------------------------------------


@pytest.mark.parametrize(
    ("state", "message"),
    [
        pytest.param(b"", EOF, id="empty"),
        pytest.param(b"\x00", EOF, id="tag-only"),
        pytest.param(b"\x00\x00\x00\x00", EOF, id="short-strategy"),
        pytest.param(b"\x02\x00\x00\x00\x00", "tag for enum is not valid, found 2", id="info-tag-2"),
        pytest.param(b"\xff\x00\x00\x00\x00", "tag for enum is not valid, found 255", id="info-tag-255"),
        pytest.param(
            b"\x00\x01\x00\x00\x00",
            "invalid value: integer `1`, expected variant index 0 <= i < 1",
            id="strategy-1",
        ),
        pytest.param(
            b"\x00\x00\x00\x00\x80",
            "invalid value: integer `2147483648`, expected variant index 0 <= i < 1",
            id="strategy-high-bit",
        ),
        pytest.param(b"\x01" + u64(1) + u64(1) + u64(1) + u64(1) + u64(1_000_000), EOF, id="million-entries"),
        pytest.param(b"\x01" + u64(10**12), EOF, id="huge-column-count"),
        pytest.param(b"\x01" + u64(0) + u64(1) + u64(0) + u64(1) + u64(5) + b"abc", "io error: ", id="text-too-long"),
        pytest.param(
            b"\x01" + u64(0) + u64(1) + u64(0) + u64(1) + text(b"a") + b"\x05",
            "tag for enum is not valid, found 5",
            id="code-tag-5",
        ),
        pytest.param(
            b"\x01" + u64(0) + u64(1) + u64(0) + u64(1) + text(b"ok\xe2\x82A") + b"\x00" + u64(0) + EXAMPLE_TAIL,
            "string is not valid utf8: invalid utf-8 sequence of 2 bytes from index 2",
            id="bad-utf8-in-code-table",
        ),
        pytest.param(
            b"\x01" + u64(0) + u64(0) + u64(1) + u64(0) + u64(1) + u64(0) + text(b"\xed\xa0\x80") + EXAMPLE_TAIL,
            "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0",
            id="surrogate-in-decode-map",
        ),
        pytest.param(
            b"\x01" + u64(0) + u64(0) + u64(1) + u64(0) + u64(1) + u64(0) + text(b"ab\xf0\x9f\x98") + EXAMPLE_TAIL,
            "string is not valid utf8: incomplete utf-8 byte sequence from index 2",
            id="cut-utf8-in-decode-map",
        ),
    ],
)
def test_setstate_rejects_bad_state_and_keeps_instance(state, message):
    for encoder in (quorvel.Encoder(), learned_encoder()):
        before = encoder.__getstate__()
        with pytest.raises(ValueError) as info:
            encoder.__setstate__(state)
        assert str(info.value) == PREFIX + message
        assert type(info.value) is ValueError
        assert encoder.__getstate__() == before


@pytest.mark.parametrize(
    ("state", "message"),
    [
        ("x", "'str' object is not an instance of 'bytes'"),
        (bytearray(EMPTY_STATE), "'bytearray' object is not an instance of 'bytes'"),
        (memoryview(EMPTY_STATE), "'memoryview' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
        (5, "'int' object is not an instance of 'bytes'"),
    ],
    ids=["str", "bytearray", "memoryview", "None", "int"],
)
def test_setstate_requires_bytes(state, message):
    encoder = learned_encoder()
    before = encoder.__getstate__()
    with pytest.raises(TypeError) as info:
        encoder.__setstate__(state)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'state'"]
    assert encoder.__getstate__() == before


def test_setstate_accepts_bytes_subclass():
    class Blob(bytes):
        pass

    source = learned_encoder()
    target = quorvel.Encoder()
    assert target.__setstate__(Blob(source.__getstate__())) is None
    assert target.__getstate__() == source.__getstate__()


def test_setstate_by_keyword():
    target = quorvel.Encoder()
    target.__setstate__(state=example_state())
    assert target.__getstate__() != EMPTY_STATE


def test_every_prefix_of_a_real_state_fails_and_keeps_instance():
    state = learned_encoder().__getstate__()
    target = other_encoder()
    before = target.__getstate__()
    assert before != state
    for cut in range(len(state)):
        with pytest.raises(ValueError) as info:
            target.__setstate__(state[:cut])
        assert str(info.value) in (PREFIX + EOF, PREFIX + "io error: "), cut
        assert target.__getstate__() == before
    target.__setstate__(state)
    assert target.__getstate__() == state


# --- mutation property -------------------------------------------------------------------

VALID_STATES = [
    EMPTY_STATE,
    example_state(),
    learned_encoder().__getstate__(),
    other_encoder().__getstate__(),
]


@st.composite
def mutated_states(draw):
    state = bytearray(draw(st.sampled_from(VALID_STATES)))
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["set", "insert", "delete", "truncate", "u64"]))
        at = draw(st.integers(0, len(state)))
        if kind == "set" and at < len(state):
            state[at] = draw(st.integers(0, 255))
        elif kind == "insert":
            state[at:at] = draw(st.binary(min_size=1, max_size=9))
        elif kind == "delete":
            del state[at : at + draw(st.integers(1, 9))]
        elif kind == "truncate":
            del state[at:]
        elif kind == "u64":
            value = draw(st.sampled_from([0, 1, 2, 255, 2**31, 2**32, 2**40, 10**12, 2**63, 2**64 - 1]))
            state[at : at + 8] = u64(value)
    return bytes(state)


@settings(max_examples=examples(400), deadline=None, suppress_health_check=[HealthCheck.too_slow], print_blob=True)
@given(mutated_states())
def test_mutated_state_reads_or_raises_value_error(state):
    encoder = learned_encoder()
    before = encoder.__getstate__()
    try:
        encoder.__setstate__(state)
    except ValueError as error:
        assert str(error).startswith(PREFIX)
        assert encoder.__getstate__() == before
    else:
        # Whatever was accepted writes a state that reads back to itself.
        written = encoder.__getstate__()
        again = quorvel.Encoder()
        again.__setstate__(written)
        assert again.__getstate__() == written


# --- round trips, pickling and copying ---------------------------------------------------


@pytest.mark.parametrize("make", [quorvel.Encoder, learned_encoder, other_encoder], ids=["new", "frame", "other"])
def test_setstate_of_own_state_changes_nothing(make):
    encoder = make()
    state = encoder.__getstate__()
    encoder.__setstate__(state)
    assert encoder.__getstate__() == state


def test_new_encoder_state_is_five_zero_bytes():
    assert quorvel.Encoder().__getstate__() == EMPTY_STATE
    encoder = learned_encoder()
    encoder.__setstate__(EMPTY_STATE)
    assert encoder.__getstate__() == EMPTY_STATE
    # Without an encoding, decode hands the numbers back unchanged.
    coded = np.array([[0.0, 1.0], [2.0, 3.0]])
    result = encoder.decode(coded)
    assert result.dtype == np.float64
    np.testing.assert_array_equal(result, coded)


@pytest.mark.parametrize("tail", [b"\x00", b"\xff" * 3, b"\x02" * 100])
def test_trailing_bytes_are_ignored(tail):
    encoder = learned_encoder()
    encoder.__setstate__(EMPTY_STATE + tail)
    assert encoder.__getstate__() == EMPTY_STATE
    encoder.__setstate__(example_state() + tail)
    assert encoder.__getstate__() == quorvel_example_written()


def quorvel_example_written():
    reader = quorvel.Encoder()
    reader.__setstate__(example_state())
    return reader.__getstate__()


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(protocol):
    original = learned_encoder()
    loaded = pickle.loads(pickle.dumps(original, protocol=protocol))
    assert type(loaded) is quorvel.Encoder
    assert loaded.__getstate__() == original.__getstate__()
    assert_same_frame_decoding(original, loaded)


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_copies_decode_like_the_original(duplicate):
    original = learned_encoder()
    copied = duplicate(original)
    assert copied is not original
    assert copied.__getstate__() == original.__getstate__()
    assert_same_frame_decoding(original, copied)
    # The copy is independent: learning anew in the original leaves it as it was.
    state = copied.__getstate__()
    original.encode(pd.DataFrame({"z": ["p"]}))
    assert copied.__getstate__() == state


def test_decoded_texts_survive_pickling():
    original = learned_encoder()
    loaded = pickle.loads(pickle.dumps(original))
    coded, columns = original.encode(small_frame())
    assert columns == [1, 3]
    decoded = loaded.decode(coded)
    assert decoded["t"].tolist() == ["b", "a", None, "b"]
    assert decoded["u"].tolist() == ["x", "\u00e9", "\U0001f600", None]


# Large enough that two processes' randomly seeded hash maps iterate in different orders.
STATE_SCRIPT = """
import sys
import pandas as pd
import quorvel
texts = [f"t{i:03d}" for i in range(200)]
frame = pd.DataFrame({
    "a": texts,
    "b": texts[::-1],
    "c": [float(i) for i in range(200)],
    "d": [texts[(i * 7) % 200] + "\u00e9" for i in range(200)],
})
encoder = quorvel.Encoder()
encoder.encode(frame)
state = encoder.__getstate__()
if __name__ == "__main__":
    sys.stdout.write(state.hex())
"""


def test_equal_encoders_write_equal_bytes_across_processes():
    runs = [
        subprocess.run([sys.executable, "-c", STATE_SCRIPT], capture_output=True, text=True, check=True, timeout=120)
        for _ in range(2)
    ]
    first, second = (bytes.fromhex(run.stdout) for run in runs)
    assert len(first) > 1000
    assert first == second
    # The same script in this process, whose hash maps were seeded differently again.
    local = {}
    exec(STATE_SCRIPT, local)
    assert local["state"] == first


# Reads states whose one table declares 2^63 entries, holds `real` of them and then 200 MiB
# of bytes that cannot continue it; prints, per table, the error text and the growth of
# the peak resident memory over the memory held before the read.
GREEDY_READ_SCRIPT = r"""
import json, struct, sys
import quorvel

def u64(*values):
    return struct.pack("<%dQ" % len(values), *values)

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

real = 65536
garbage = b"\xff" * (200 << 20)
heads = {
    # empty object_columns; one code table with entries: empty text, no code
    "code table": b"\x01" + u64(0, 1, 0, 2**63) + (u64(0) + b"\x00") * real,
    # empty object_columns and encode_maps; one decode map with entries: code, empty text
    "decode map": b"\x01" + u64(0, 0, 1, 0, 2**63) + u64(0, 0) * real,
}
report = {}
for name, head in heads.items():
    state = head + garbage
    encoder = quorvel.Encoder()
    before = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak
    try:
        encoder.__setstate__(state)
        error = None
    except ValueError as e:
        error = str(e)
    report[name] = {"error": error, "growth": status("VmHWM") - before,
                    "state": encoder.__getstate__().hex()}
    del state
print(json.dumps(report))
"""


def test_reader_memory_follows_the_entries_read_not_the_declared_count():
    report = run_peak_memory_script(GREEDY_READ_SCRIPT)
    assert set(report) == {"code table", "decode map"}
    for name, read in report.items():
        # The length of the first garbage text runs past the end: the error the same state
        # with a short tail gives too.
        assert read["error"] == PREFIX + "io error: ", name
        assert bytes.fromhex(read["state"]) == EMPTY_STATE, name  # the instance kept its state
        assert read["growth"] < 64 * MIB, f"{name}: peak grew by {read['growth'] / MIB:.0f} MiB"


# --- large states against a model of the format ---------------------------------------------


class StateError(Exception):
    pass


def model_read(state):
    """The content of state bytes as plain Python values, or StateError with the error text."""
    pos = 0

    def take(n, short=EOF):
        nonlocal pos
        if len(state) - pos < n:
            raise StateError(short)
        pos += n
        return state[pos - n : pos]

    def number():
        return struct.unpack("<Q", take(8))[0]

    def tag():
        value = take(1)[0]
        if value > 1:
            raise StateError(f"tag for enum is not valid, found {value}")
        return value == 1

    def text():
        raw = take(number(), "io error: ")
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError as e:
            if e.reason == "unexpected end of data":
                raise StateError(f"string is not valid utf8: incomplete utf-8 byte sequence from index {e.start}")
            raise StateError(f"string is not valid utf8: invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}")

    info = None
    if tag():
        columns = [number() for _ in range(number())]
        encode = {}
        for _ in range(number()):
            column, table = number(), {}
            for _ in range(number()):
                key = text()
                table[key] = number() if tag() else None
            encode[column] = table
        decode = {}
        for _ in range(number()):
            column, table = number(), {}
            for _ in range(number()):
                code = number()
                table[code] = text()
            decode[column] = table
        info = (columns, encode, decode)
    strategy = struct.unpack("<I", take(4))[0]
    if strategy != 0:
        raise StateError(f"invalid value: integer `{strategy}`, expected variant index 0 <= i < 1")
    return info


def model_write(info):
    """State bytes of the content, map entries in key order (texts by their UTF-8 bytes)."""
    if info is None:
        return EMPTY_STATE
    columns, encode, decode = info
    out = [b"\x01", u64(len(columns))] + [u64(c) for c in columns] + [u64(len(encode))]
    for column in sorted(encode):
        out += [u64(column), u64(len(encode[column]))]
        for key in sorted(encode[column], key=lambda t: t.encode()):
            code = encode[column][key]
            out += [text(key.encode()), b"\x00" if code is None else b"\x01" + u64(code)]
    out.append(u64(len(decode)))
    for column in sorted(decode):
        out += [u64(column), u64(len(decode[column]))]
        for code in sorted(decode[column]):
            out += [u64(code), text(decode[column][code].encode())]
    return b"".join(out) + EXAMPLE_TAIL


def large_state(seed):
    """A state of some 70,000 entries or more in tables of uneven sizes, with texts and codes
    out of order, repeated texts, codes and column keys (the later one counts); a decode map
    is either random or the inverse of a code table, as learning makes it."""
    rng = random.Random(seed)
    words = [f"w{rng.randrange(10**6)}" + rng.choice(["", "\u00e9", "\U0001f600", "x" * 30]) for _ in range(30000)]
    tables = []
    for _ in range(rng.randrange(2, 4)):
        size = rng.randrange(17000, 40000)
        dense = rng.random() < 0.5  # codes 0..size-1 in text order, as learned
        texts = sorted(rng.sample(words, min(size, len(words))), key=str.encode) if dense else None
        entries = [(t, k) for k, t in enumerate(texts)] if dense else [
            (rng.choice(words), rng.choice([None, rng.randrange(50000)])) for _ in range(size)]
        tables.append((rng.randrange(4), entries))
    out = [b"\x01", u64(2), u64(rng.randrange(9)), u64(rng.randrange(9)), u64(len(tables))]
    for column, entries in tables:
        out += [u64(column), u64(len(entries))]
        for t, code in entries:
            out += [text(t.encode()), b"\x00" if code is None else b"\x01" + u64(code)]
    out.append(u64(len(tables)))
    for column, entries in tables:
        if rng.random() < 0.5:
            pairs = [(code, t) for t, code in entries if code is not None]
        else:
            pairs = [(rng.randrange(50000), rng.choice(words)) for _ in range(rng.randrange(17000, 40000))]
        out += [u64(rng.choice([column, rng.randrange(4)])), u64(len(pairs))]
        for code, t in pairs:
            out += [u64(code), text(t.encode())]
    return b"".join(out) + EXAMPLE_TAIL


@settings(max_examples=examples(8), deadline=None, print_blob=True)
@given(st.integers(0, 2**32), st.lists(st.tuples(st.floats(0, 1), st.sampled_from(["set", "cut", "u64"]), st.integers(0, 255)), max_size=3))
def test_large_state_reads_like_the_model(seed, mutations):
    state = bytearray(large_state(seed))
    assert len(state) > 1 << 20
    for where, kind, value in mutations:
        if not state:
            break
        at = int(where * (len(state) - 1))
        if kind == "set":
            state[at] = value
        elif kind == "cut":
            del state[at:]
        else:
            state[at : at + 8] = u64(value << 40)
    state = bytes(state)
    encoder = learned_encoder()
    before = encoder.__getstate__()
    try:
        expected = model_write(model_read(state))
    except StateError as e:
        with pytest.raises(ValueError) as info:
            encoder.__setstate__(state)
        assert str(info.value) == PREFIX + str(e)
        assert encoder.__getstate__() == before
    else:
        encoder.__setstate__(state)
        assert encoder.__getstate__() == expected


# --- the worked example ------------------------------------------------------------------


@pytest.mark.parametrize(("codes", "decodes"), EXAMPLE_ORDERS)
def test_example_state_decodes_codes_to_texts(codes, decodes):
    state = example_state(codes, decodes)
    assert len(state) == 151
    encoder = quorvel.Encoder()
    encoder.__setstate__(state)
    result = encoder.decode(np.array([[math.nan, 0.0], [math.nan, 1.0]]))
    assert result.dtype == object
    assert result.shape == (2, 2)
    assert result[:, 1].tolist() == ["a", "b"]
    assert all(isinstance(cell, float) and math.isnan(cell) for cell in result[:, 0])


def test_example_orders_read_to_equal_content():
    written = {}
    for codes, decodes in EXAMPLE_ORDERS:
        encoder = quorvel.Encoder()
        encoder.__setstate__(example_state(codes, decodes))
        written[(codes, decodes)] = encoder.__getstate__()
    assert len(set(written.values())) == 1
    # The writer puts the code table in byte-wise text order: "a", "b", "nan".
    assert next(iter(written.values())) == example_state(
        [EXAMPLE_CODES[0], EXAMPLE_CODES[2], EXAMPLE_CODES[1]], EXAMPLE_DECODES
    )


def test_state_of_a_column_without_decode_map_is_accepted():
    # object_columns [4] but neither map mentions column 4: the reader checks no consistency.
    state = b"\x01" + u64(1) + u64(4) + u64(0) + u64(0) + EXAMPLE_TAIL
    encoder = quorvel.Encoder()
    encoder.__setstate__(state)
    assert encoder.__getstate__() == state
