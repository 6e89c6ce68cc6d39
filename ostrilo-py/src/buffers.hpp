#pragma once
// Arrays at the border, on their way out: the buffer protocol of VecList, Vec3d and Quat (reading
// buffers into a VecList is vec_list_input.hpp's).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ostrilo {

// VecList: a read-only (n, 3) view of the list's own array, holding a shared borrow of the list
// until the view is released.
int vec_list_getbuffer(PyObject* self, Py_buffer* view, int flags);
void vec_list_releasebuffer(PyObject* self, Py_buffer* view);

// Vec3d (3,) and Quat (4,: w, i, j, k): a private read-only copy that lives with the view.
int vec3d_getbuffer(PyObject* self, Py_buffer* view, int flags);
int quat_getbuffer(PyObject* self, Py_buffer* view, int flags);
void copy_releasebuffer(PyObject* self, Py_buffer* view);

}  // namespace ostrilo
