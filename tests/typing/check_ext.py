"""What the companion's stubs must accept, and refuse: its overloads (one value or many) come from
the typed signatures of docs/api/ostrilo_ext.toml. Type-checked by mypy --strict and pyright
(.ci/typing), never run; each refused call's ignore comment fails both checkers once unneeded."""

import numpy as np
import numpy.typing as npt
import ostrilo_ext
from ostrilo_py import Quat, Vec3d, VecList

q = Quat.identity()
one_quat: Quat = ostrilo_ext.slerp(q, q, 0.5)
many_quats: list[Quat] = ostrilo_ext.slerp(q, q, [0.0, 0.5, 1.0])
xyzw: tuple[float, float, float, float] = ostrilo_ext.to_xyzw(q)
rows: npt.NDArray[np.float64] = ostrilo_ext.to_xyzw([q, q])
from_rows: list[Quat] = ostrilo_ext.from_wxyz(np.zeros((2, 4)))
angles: tuple[float, float, float] = ostrilo_ext.to_euler(q, "xyz", degrees=True)

index = ostrilo_ext.SpatialIndex(np.zeros((3, 3)))
nearest: tuple[int, float] = index.query(Vec3d(0, 0, 0))
k_nearest: tuple[list[int], list[float]] = index.query((0.0, 0.0, 0.0), 2)
many = index.query(VecList([Vec3d(0, 0, 0)]), k=2)
within: list[list[int]] = index.query_radius(np.zeros((2, 3)), 1.0)
count: int = index.count_radius(Vec3d(0, 0, 0), r=1.0)

ostrilo_ext.slerp(q, q, "0.5")  # type: ignore[arg-type]  # pyright: ignore[reportCallIssue, reportArgumentType]
not_one_point: int = index.count_radius(VecList([]), 1.0)  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
