#pragma once
// Arguments taken as they are and read by the function itself, through the frame's reader of
// numbers, buffers and sequences (frame/rows.hpp), and (n, width) NumPy arrays as results.
#include <cstddef>
#include <initializer_list>
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
// Every item of an open sequence as a T value of our own, copied out under a momentary shared
// borrow (released before the item is given back) and handed to put(k, value). False with the
// error set: the borrow's, prefixed with `arg` ("argument 'rotations': ..."), or the reader's own
// when the sequence changed size meanwhile.
template <class T, class Put>
bool read_borrowed_items(Items& items, const char* what, const char* arg, Put&& put) {
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        PyObject* o = items.hold(k, what);
        if (o == nullptr) return false;
        bool ok;
        {
            Shared<T> item;
            ok = item.acquire(o);
            if (ok) put(static_cast<std::size_t>(k), item.get());
        }
        Items::drop(o);
        if (!ok) {
            add_argument_prefix(arg);
            return false;
        }
    }
    return items.finish(what);
}

// A new C-contiguous NumPy array of the given shape and dtype ("float64", "intp", "bool"), left
// uninitialised: written through data<T>() (by the pool's threads too, it is plain memory) and
// handed over by release(). Construction throws the Python error (ImportError without NumPy).
class NewArray {
  public:
    NewArray(std::initializer_list<std::size_t> shape, const char* dtype);
    NewArray(const NewArray&) = delete;
    NewArray& operator=(const NewArray&) = delete;
    ~NewArray();
    template <class T>
    T* data() {
        return static_cast<T*>(view_.buf);
    }
    // The array, as a new reference; the object lets go of it.
    PyObject* release();

  private:
    PyObject* array_ = nullptr;
    Py_buffer view_{};
};

}  // namespace ext
}  // namespace ostrilo
