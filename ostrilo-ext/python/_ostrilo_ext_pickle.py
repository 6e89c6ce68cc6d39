"""Pickling and copying of ostrilo_ext objects (private; ostrilo_ext registers it with copyreg).

The classes report ``__module__ == "builtins"``, where pickle cannot find them by name, so their
instances are reduced to the reconstructors of this module. The names and arguments below are a
file format: a pickle written by any version must load in every later one.

    spatial_index(points)    SpatialIndex, from the VecList of its points in their order

A SpatialIndex is sent as its points (a VecList, whose elements protocol 5 sends out of band)
and built again where it is loaded: the build is deterministic, so the index that arrives
answers every query with the same bits.
"""

import copyreg

_SpatialIndex = None


def spatial_index(points):
    from ostrilo_py import VecList

    if _SpatialIndex is None:  # a fresh process (a Dask worker, say): importing registers the class
        import ostrilo_ext  # noqa: F401

    if type(points) is not VecList:
        raise TypeError(f"cannot unpickle SpatialIndex: expected a VecList of points, got {type(points).__name__!r}")
    return _SpatialIndex(points)


def _reduce_spatial_index(index):
    return spatial_index, (index.points,)


def register(spatial_index_class):
    global _SpatialIndex
    _SpatialIndex = spatial_index_class
    copyreg.pickle(spatial_index_class, _reduce_spatial_index)
