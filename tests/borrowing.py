"""Direct access to an instance's borrow flag.

With the interpreter lock, a borrow is only ever held while native code runs, so another caller
can never meet it. Setting the flag by hand stands in for the other thread. An instance is laid
out as the object header, the value record, then the flag (a 32-bit int padded to 8 bytes); the
tests check that layout by watching the flag from inside a call that holds a shared borrow.
"""
import ctypes
from contextlib import contextmanager

EXCLUSIVE = -1


def flag(obj) -> ctypes.c_int32:
    size = type(obj).__basicsize__
    assert size % 8 == 0
    return ctypes.c_int32.from_address(id(obj) + size - 8)


@contextmanager
def held(obj, value: int = EXCLUSIVE):
    """Pretends another caller holds a borrow of obj (exclusive by default, n > 0 for shared)."""
    f = flag(obj)
    assert f.value == 0
    f.value = value
    try:
        yield obj
    finally:
        assert f.value == value, "a call left the borrow flag changed"
        f.value = 0


class Float:
    """A float argument that runs `during` inside its conversion (while the call holds its borrows)."""

    def __init__(self, value, during):
        self.value, self.during, self.error = value, during, None

    def __float__(self):
        try:
            self.during()
        except RuntimeError as e:
            self.error = str(e)
            raise
        return self.value
