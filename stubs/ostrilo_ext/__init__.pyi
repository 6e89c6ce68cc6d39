"""Rotations, accurate angles, tolerant geometry and batch rotation on ostrilo_py's own classes."""

from ostrilo_py import Quat

def compose(first: Quat, second: Quat) -> Quat:
    """The rotation that applies ``first``, then ``second``."""
def hamilton_product(a: Quat, b: Quat) -> Quat:
    """The Hamilton product ``a * b`` of the stored components."""
def inverse(q: Quat) -> Quat:
    """``conj(q) / |q|**2``; ValueError for the zero quaternion."""
