"""Loads the pickles of ostrilo_ext.SpatialIndex that version 0.1.0 wrote, which name this module
(private). Later versions pickle every class, SpatialIndex included, through _ostrilo_py_pickle;
this module keeps no state of its own, so reloading or removing it changes nothing.

    spatial_index(points)    SpatialIndex, from the VecList of its points in their order
"""


def spatial_index(points):
    import _ostrilo_py_pickle  # the current one, also after a reload or a removal

    return _ostrilo_py_pickle.spatial_index(points)
