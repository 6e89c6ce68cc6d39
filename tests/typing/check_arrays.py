"""What the shipped stubs must accept, and refuse, about arrays: type-checked by mypy --strict and
pyright (.ci/typing), never run. An ignore comment that is no longer needed fails both checkers,
so each refused call below also proves that the stubs still refuse it."""

import numpy as np
from ostrilo_py import Vec3d, VecList

points = np.array([[1.0, 2.0, 2.0], [0.0, 3.0, 4.0]])
from_doubles: VecList = VecList(points)
from_floats: VecList = VecList(points.astype(np.float32))
from_a_slice: VecList = VecList(points[::2])
from_vectors: VecList = VecList([Vec3d(1, 0, 0), Vec3d(0, 1, 0)])
from_a_list: VecList = VecList(from_vectors)
view = np.asarray(from_doubles.normalize())
row: Vec3d = from_doubles[0]

not_a_list = VecList(3)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
not_vectors = VecList([1.0, 2.0, 3.0])  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
