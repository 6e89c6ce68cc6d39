#pragma once
// Arrays at the border: the buffer protocol out of VecList, Vec3d and Quat, and 2-D (n, 3)
// buffers of doubles or floats into VecList.
#include "vec_list.hpp"

namespace ostrilo {

// VecList: a read-only (n, 3) view of the list's own array, holding a shared borrow of the list
// until the view is released.
int vec_list_getbuffer(PyObject* self, Py_buffer* view, int flags);
void vec_list_releasebuffer(PyObject* self, Py_buffer* view);

// Vec3d (3,) and Quat (4,: w, i, j, k): a private read-only copy that lives with the view.
int vec3d_getbuffer(PyObject* self, Py_buffer* view, int flags);
int quat_getbuffer(PyObject* self, Py_buffer* view, int flags);
void copy_releasebuffer(PyObject* self, Py_buffer* view);

// The rows of a 2-D (n, 3) buffer of native doubles or floats, copied in order into out.
// 1: taken; 0: o exports no such buffer (nothing set, the caller goes on with the sequence
// path); -1: the exporter failed or the copy could not be allocated (error set).
int read_rows(PyObject* o, VecArray& out);

}  // namespace ostrilo
