#pragma once
// Results of list operations as Python lists, built on the calling thread (py_lists.cpp).
#include <cstddef>

#include "frame/class_table.hpp"
#include "vec3d.hpp"
#include "vec_array.hpp"

namespace ostrilo {

// A Python list of Item built by the caller: a new reference, or null with the error set.
template <class Item>
struct PyList {
    PyObject* list;
};

template <class Item>
struct Caster<PyList<Item>> {
    static PyObject* to_py(PyList<Item> l) { return l.list; }
    static constexpr Json annotation() { return list_annotation<Item>(); }
};

PyList<double> float_list(const double* values, std::size_t n);
PyList<bool> bool_list(const unsigned char* values, std::size_t n);
PyList<drevan::Vec3d> vec_objects(const VecArray& items);

}  // namespace ostrilo
