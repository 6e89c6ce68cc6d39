"""Rules that depend on the interpreter's word size (hash width, the unsigned machine word).

Every case states the 32-bit and the 64-bit outcome; the branch is taken on sys.maxsize, so the
same file runs unchanged on x86-64 and on 32-bit ARM.
"""
import struct
import sys

import pytest
from ostrilo_py import Vec3d

WIDE = sys.maxsize > 2**32
WORD_BITS = 64 if WIDE else 32
NAN = float("nan")
INF = float("inf")

OUT_OF_RANGE = "out of range integral type conversion attempted"


def test_word_size_agrees_with_pointer_size():
    # The rest of this file trusts sys.maxsize to tell the word size; check it against the ABI.
    assert struct.calcsize("P") * 8 == WORD_BITS
    assert sys.hash_info.width == WORD_BITS


# ---------------------------------------------------------------------------------------------
# Hash width: the 64-bit SipHash-1-3 digest is truncated to the interpreter's hash width, and a
# result of -1 (the interpreter's error marker) becomes -2.

def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & 0xFFFFFFFFFFFFFFFF


def _siphash13_zero_key(data: bytes) -> int:
    """Reference SipHash-1-3 with both keys zero, written independently of the module."""
    m64 = 0xFFFFFFFFFFFFFFFF
    v = [0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573]

    def rnd():
        v[0] = (v[0] + v[1]) & m64; v[1] = _rotl(v[1], 13); v[1] ^= v[0]; v[0] = _rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & m64; v[3] = _rotl(v[3], 16); v[3] ^= v[2]
        v[0] = (v[0] + v[3]) & m64; v[3] = _rotl(v[3], 21); v[3] ^= v[0]
        v[2] = (v[2] + v[1]) & m64; v[1] = _rotl(v[1], 17); v[1] ^= v[2]; v[2] = _rotl(v[2], 32)

    tail_len = len(data) % 8
    body = data[: len(data) - tail_len]
    for i in range(0, len(body), 8):
        m = int.from_bytes(body[i:i + 8], "little")
        v[3] ^= m
        rnd()
        v[0] ^= m
    last = ((len(data) & 0xFF) << 56) | int.from_bytes(data[len(body):], "little")
    v[3] ^= last
    rnd()
    v[0] ^= last
    v[2] ^= 0xFF
    for _ in range(3):
        rnd()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def _canonical(x: float) -> bytes:
    if x != x:
        return struct.pack("<Q", 0x7FF8000000000000)
    return struct.pack("<d", x + 0.0)


def expected_hash(x: float, y: float, z: float) -> int:
    digest = _siphash13_zero_key(_canonical(x) + _canonical(y) + _canonical(z))
    low = digest & ((1 << WORD_BITS) - 1)
    signed = low - (1 << WORD_BITS) if low >> (WORD_BITS - 1) else low
    return -2 if signed == -1 else signed


def test_reference_digest_of_zero():
    # The helper below is only as good as this check: with a zero key, the 24 zero bytes of
    # (0, 0, 0) give the digest the module documents for that vector.
    assert _siphash13_zero_key(bytes(24)) == 0xF9003207CF9E4D4C


# 20655523.0 is a vector found by a brute-force search whose digest is 0x7d388f93ffffffff: its
# low 32 bits are all ones, so a 32-bit interpreter must turn the would-be -1 into -2, while a
# 64-bit one keeps the full (positive) digest.
MINUS_ONE_LOW_WORD = (20655523.0, 0.0, 0.0)


@pytest.mark.parametrize(
    "components, h32, h64",
    [
        ((0.0, 0.0, 0.0), -811709108, -504348149136077492),
        ((-0.0, 0.0, 0.0), -811709108, -504348149136077492),
        ((0.0, -0.0, -0.0), -811709108, -504348149136077492),
        (MINUS_ONE_LOW_WORD, -2, 0x7D388F93FFFFFFFF),
    ],
)
def test_hash_width(components, h32, h64):
    assert hash(Vec3d(*components)) == (h64 if WIDE else h32)


def test_minus_one_low_word_is_not_an_accident():
    # On 64 bits the digest is visible in full: its low word really is all ones.
    if WIDE:
        assert hash(Vec3d(*MINUS_ONE_LOW_WORD)) & 0xFFFFFFFF == 0xFFFFFFFF
    assert _siphash13_zero_key(b"".join(map(_canonical, MINUS_ONE_LOW_WORD))) == 0x7D388F93FFFFFFFF


@pytest.mark.parametrize(
    "components",
    [
        (1.0, 2.0, 3.0),
        (NAN, -INF, INF),
        (-0.0, 5e-324, -1.7976931348623157e308),
        (0.1, 0.2, 0.30000000000000004),
        (2.0**-1022, -(2.0**-1074), 1e300),
    ],
)
def test_hash_is_truncated_digest(components):
    assert hash(Vec3d(*components)) == expected_hash(*components)


def test_hash_is_truncated_digest_random():
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies

    @hypothesis.settings(max_examples=200, deadline=None)
    @hypothesis.given(st.floats(), st.floats(), st.floats())
    def check(x, y, z):
        assert hash(Vec3d(x, y, z)) == expected_hash(x, y, z)

    check()


# ---------------------------------------------------------------------------------------------
# The unsigned machine word: v[index] converts index to the word; a value that is a valid
# unsigned 64-bit integer but does not fit a 32-bit word fails with its own OverflowError.

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# (index, exception and message on 32 bits, on 64 bits); a message of None means "the
# interpreter's own message", which must not be the word-size one.
INDEX_CASES = [
    (2, None, None),
    (sys.maxsize, (IndexError, "Index out of bounds"), (IndexError, "Index out of bounds")),
    (2**31, (IndexError, "Index out of bounds"), (IndexError, "Index out of bounds")),
    (2**32 - 1, (IndexError, "Index out of bounds"), (IndexError, "Index out of bounds")),
    (2**32, (OverflowError, OUT_OF_RANGE), (IndexError, "Index out of bounds")),
    (2**32 + 2, (OverflowError, OUT_OF_RANGE), (IndexError, "Index out of bounds")),
    (2**63, (OverflowError, OUT_OF_RANGE), (IndexError, "Index out of bounds")),
    (2**64 - 1, (OverflowError, OUT_OF_RANGE), (IndexError, "Index out of bounds")),
    (2**64, (OverflowError, None), (OverflowError, None)),
    (2**100, (OverflowError, None), (OverflowError, None)),
    (-1, (OverflowError, None), (OverflowError, None)),
    (-(2**32), (OverflowError, None), (OverflowError, None)),
]


@pytest.mark.parametrize("wrap", [int, Index], ids=["int", "__index__"])
@pytest.mark.parametrize("index, on32, on64", INDEX_CASES)
def test_index_conversion_by_word_size(wrap, index, on32, on64):
    v = Vec3d(1.0, 2.0, 3.0)
    outcome = on64 if WIDE else on32
    if outcome is None:
        assert v[wrap(index)] == 3.0
        return
    exc, message = outcome
    with pytest.raises(exc) as e:
        v[wrap(index)]
    assert type(e.value) is exc
    if message is None:
        # Negative and too-large values are refused before the word-size check.
        assert str(e.value) != OUT_OF_RANGE
        assert not str(e.value).startswith("argument ")
    else:
        assert str(e.value) == message
