#pragma once
// Numbers in and out: flat sequences, rows of a fixed width from a 2-D buffer of doubles or floats
// (a NumPy array, say) or from nested sequences, and (n, width) NumPy arrays as results. Every
// reader throws PyErrAlreadySet with a TypeError or ValueError that names `what`.
#include <cstddef>
#include <vector>

#include "frame/module_table.hpp"

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

// A number: a float, or anything with __float__ / __index__.
double read_double(PyObject* o, const char* what);
// Exactly n numbers from a sequence (or a 1-D buffer).
void read_flat(PyObject* o, double* out, std::size_t n, const char* what);
// True when o looks like a batch of rows (a 2-D buffer, or a sequence whose first item is a
// sequence) rather than one row.
bool is_batch(PyObject* o);
// Rows of `width` numbers: a 2-D (n, width) buffer of doubles or floats, or a sequence of
// sequences. Returns the numbers row after row.
std::vector<double> read_rows(PyObject* o, std::size_t width, const char* what);
// A new (rows, width) float64 NumPy array holding data (ImportError if NumPy is missing).
PyObject* make_array(const double* data, std::size_t rows, std::size_t width);

}  // namespace ext
}  // namespace ostrilo
