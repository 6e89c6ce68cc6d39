#pragma once
// Arguments taken as they are and read by the function itself, through the frame's reader of
// numbers, buffers and sequences (frame/rows.hpp), and (n, width) NumPy arrays as results.
#include <cstddef>
#include <vector>

#include "frame/module_table.hpp"
#include "frame/rows.hpp"

namespace ostrilo {

// An argument taken as it is (borrowed) or a result handed over as it is (a new reference).
struct Object {
    PyObject* o;
};
template <>
struct Caster<Object> {
    using Holder = PyObject*;
    static bool from(PyObject* o, Holder& h) {
        h = o;
        return true;
    }
    static Object get(Holder& h) { return Object{h}; }
    static PyObject* to_py(Object r) { return r.o; }
    static constexpr Json annotation() {
        return json_of(R"({"type":"attribute","value":{"type":"name","id":"typing"},"attr":"Any"})");
    }
};

// An argument taken as it is (borrowed), whose annotation in the records is Tag's: the functions
// that read numbers, rows or Quat items themselves say so in their records.
template <class Tag>
struct In {
    PyObject* o;
};
template <class Tag>
struct Caster<In<Tag>> {
    using Holder = PyObject*;
    static bool from(PyObject* o, Holder& h) {
        h = o;
        return true;
    }
    static In<Tag> get(Holder& h) { return In<Tag>{h}; }
    static constexpr Json annotation() { return Tag::annotation(); }
};

constexpr Json sequence_of(const Json& item) {
    return subscript_annotation(
        json_of(R"({"type":"attribute","value":{"type":"name","id":"collections.abc"},"attr":"Sequence"})"), item);
}
struct FloatsTag {
    static constexpr Json annotation() { return sequence_of(builtin_annotation("float")); }
};
struct RowsTag {
    static constexpr Json annotation() { return sequence_of(sequence_of(builtin_annotation("float"))); }
};
struct StrTag {
    static constexpr Json annotation() { return builtin_annotation("str"); }
};
struct QuatsTag {
    static constexpr Json annotation() { return sequence_of(class_annotation("Quat")); }
};
using Floats = In<FloatsTag>;
using Rows = In<RowsTag>;
using Str = In<StrTag>;
using Quats = In<QuatsTag>;

namespace ext {

// The frame's readers, for code that reports failures by throwing PyErrAlreadySet.
inline double read_double(PyObject* o, const char* what) {
    double v;
    if (!read_number(o, v, what)) throw_pyerr();
    return v;
}
inline void read_flat(PyObject* o, double* out, std::size_t n, const char* what) {
    if (!read_numbers(o, out, n, what)) throw_pyerr();
}
inline void read_rows(RowsIn& rows, PyObject* o, std::size_t width, const char* what, RowsIn::Options options) {
    if (!rows.read(o, width, what, options)) throw_pyerr();
}
// A new (rows, width) float64 NumPy array holding data (ImportError if NumPy is missing).
PyObject* make_array(const double* data, std::size_t rows, std::size_t width);

}  // namespace ext
}  // namespace ostrilo
