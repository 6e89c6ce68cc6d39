// Numbers coming in (rows.hpp): buffers checked against their exporter's lies, sequences read so
// that a conversion changing them is caught, numbers converted keeping their errors.
#include "frame/rows.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace ostrilo {

namespace {

// The byte order of a format prefix that says "this machine's": '@', '=', or the order spelt out.
constexpr char kNativeOrder = std::endian::native == std::endian::little ? '<' : '>';

// A format of one double or float in this machine's byte order, or a different format (Other).
// `size` is the item size the format implies; 0 for Other.
Element parse_format(const char* format, Py_ssize_t& size) noexcept {
    size = 0;
    if (format == nullptr) return Element::Other;  // unsigned bytes
    if (*format == '@' || *format == '=' || *format == kNativeOrder) ++format;
    if (format[0] == '\0' || format[1] != '\0') return Element::Other;
    if (format[0] == 'd') {
        size = sizeof(double);
        return Element::Double;
    }
    if (format[0] == 'f') {
        size = sizeof(float);
        return Element::Float;
    }
    return Element::Other;
}

[[gnu::cold]] int buffer_lie(const char* text) {
    PyErr_SetString(PyExc_BufferError, text);
    return -1;
}

// "(5, 3)", "(4,)", "()": the shape as Python writes a tuple.
std::string shape_text(const Py_ssize_t* shape, int ndim) {
    std::string s = "(";
    for (int d = 0; d < ndim; ++d) {
        if (d > 0) s += ", ";
        s += std::to_string(shape[d]);
    }
    if (ndim == 1) s += ",";
    return s + ")";
}

// Whether the pending error of a failed buffer request may be set aside for the sequence path:
// an exporter that cannot describe its elements as a buffer is no reason to refuse a sequence.
// A BufferError (the buffer exists but cannot be lent as asked: locked, or indirect), running
// out of memory and interruptions are not set aside.
bool sequence_may_follow(PyObject* o) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
        PyErr_ExceptionMatches(PyExc_BufferError))
        return false;
    return PySequence_Check(o) && !PyUnicode_Check(o);
}

template <class E>
inline double element_at(const char* p) noexcept {
    E x;
    std::memcpy(&x, p, sizeof x);
    return static_cast<double>(x);
}

// Rows [b, e) of width W (0: the width of r) as doubles.
template <class E, std::size_t W>
void copy_rows(const StridedRows& r, std::size_t b, std::size_t e, double* dst) noexcept {
    const std::size_t w = W != 0 ? W : r.width;
    const Py_ssize_t s0 = r.row_stride, s1 = r.col_stride;
    const char* row = r.base + static_cast<Py_ssize_t>(b) * s0;
    double* out = dst + b * w;
    for (std::size_t i = b; i < e; ++i, row += s0, out += w)
        for (std::size_t c = 0; c < w; ++c) out[c] = element_at<E>(row + static_cast<Py_ssize_t>(c) * s1);
}

template <class E>
void copy_as(const StridedRows& r, std::size_t b, std::size_t e, double* dst) noexcept {
    switch (r.width) {
        case 3:
            copy_rows<E, 3>(r, b, e, dst);
            break;
        case 4:
            copy_rows<E, 4>(r, b, e, dst);
            break;
        default:
            copy_rows<E, 0>(r, b, e, dst);
            break;
    }
}

alignas(double) const double kNoRows[1] = {0.0};

bool is_text(PyObject* o) { return PyUnicode_Check(o) || PyBytes_Check(o); }

[[gnu::cold]] bool raise_changed(const char* what) {
    PyErr_Format(PyExc_ValueError, "%s changed size while it was read", what);
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Buffers

const double* StridedRows::packed() const noexcept {
    if (rows == 0) return kNoRows;
    const bool contiguous = element == Element::Double && col_stride == static_cast<Py_ssize_t>(sizeof(double)) &&
                            (rows == 1 || row_stride == static_cast<Py_ssize_t>(width * sizeof(double)));
    if (!contiguous || reinterpret_cast<std::uintptr_t>(base) % alignof(double) != 0) return nullptr;
    return reinterpret_cast<const double*>(base);
}

void StridedRows::row(std::size_t i, double* out) const noexcept {
    const char* p = base + static_cast<Py_ssize_t>(i) * row_stride;
    for (std::size_t c = 0; c < width; ++c, p += col_stride)
        out[c] = element == Element::Double ? element_at<double>(p) : element_at<float>(p);
}

void StridedRows::copy(std::size_t b, std::size_t e, double* dst) const noexcept {
    if (b >= e) return;
    if (element == Element::Double && col_stride == static_cast<Py_ssize_t>(sizeof(double)) &&
        row_stride == static_cast<Py_ssize_t>(width * sizeof(double))) {
        std::memcpy(dst + b * width, base + b * width * sizeof(double), (e - b) * width * sizeof(double));
    } else if (element == Element::Double) {
        copy_as<double>(*this, b, e, dst);
    } else {
        copy_as<float>(*this, b, e, dst);
    }
}

void BufferView::release() noexcept {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
}

int BufferView::acquire(PyObject* o) {
    release();
    if (!PyObject_CheckBuffer(o)) return 0;
    // Strides and format, read-only: what every exporter can give without copying.
    if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) < 0) {
        if (!sequence_may_follow(o)) return -1;
        PyErr_Clear();
        return 0;
    }
    held_ = true;
    if (check() < 0) {
        release();
        return -1;
    }
    return 1;
}

// The exporter's view against what the request asked for and what the protocol promises: no
// suboffsets (indirect arrays were not requested), a shape for every dimension, dimensions of
// no negative size, an item size that fits the format, and a length that is the product of the
// shape and the item size, with memory behind it. A view that breaks one of these would have the
// reader walk memory the exporter never lent.
int BufferView::check() {
    const Py_buffer& v = view_;
    if (v.suboffsets != nullptr)
        return buffer_lie("the buffer has suboffsets, but indirect buffers were not requested");
    if (v.ndim < 0 || v.ndim > PyBUF_MAX_NDIM) {
        PyErr_Format(PyExc_BufferError, "the buffer claims %d dimensions", v.ndim);
        return -1;
    }
    if (v.ndim > 0 && v.shape == nullptr) return buffer_lie("the buffer has dimensions but no shape");
    if (v.itemsize <= 0) {
        PyErr_Format(PyExc_BufferError, "the buffer's item size (%zd bytes) is not positive", v.itemsize);
        return -1;
    }
    Py_ssize_t implied = 0;
    element_ = parse_format(v.format, implied);
    if (element_ != Element::Other && v.itemsize != implied) {
        PyErr_Format(PyExc_BufferError, "the buffer's item size (%zd bytes) does not match its format '%s'", v.itemsize,
                     v.format);
        return -1;
    }
    bool empty = false;
    for (int d = 0; d < v.ndim; ++d) {
        if (v.shape[d] < 0) {
            PyErr_Format(PyExc_BufferError, "the buffer's shape %s has a negative dimension",
                         shape_text(v.shape, v.ndim).c_str());
            return -1;
        }
        empty = empty || v.shape[d] == 0;
    }
    Py_ssize_t bytes = 0;
    bool fits = true;
    if (!empty) {  // overflow found by the multiplication itself: a division per dimension cost every call ~5 ns
        bytes = v.itemsize;
        for (int d = 0; d < v.ndim && fits; ++d) fits = !__builtin_mul_overflow(bytes, v.shape[d], &bytes);
    }
    if (!fits || v.len != bytes) {
        PyErr_Format(PyExc_BufferError, "the buffer's length (%zd bytes) does not match its shape %s", v.len,
                     shape_text(v.shape, v.ndim).c_str());
        return -1;
    }
    if (bytes > 0 && v.buf == nullptr) return buffer_lie("the buffer has a length but no memory");
    // Without strides the exporter's array is C-contiguous.
    if (v.strides == nullptr && v.ndim >= 1 && v.ndim <= 2) {
        strides_[v.ndim - 1] = v.itemsize;
        if (v.ndim == 2) strides_[0] = v.itemsize * v.shape[1];
    }
    return 0;
}

Py_ssize_t BufferView::stride(int d) const noexcept {
    const Py_buffer& v = view_;
    if (v.strides != nullptr) return v.strides[d];
    Py_ssize_t s = v.itemsize;
    for (int k = v.ndim - 1; k > d; --k) s *= v.shape[k];
    return s;
}

StridedRows BufferView::rows() const noexcept {
    const Py_buffer& v = view_;
    const Py_ssize_t* strides = v.strides != nullptr ? v.strides : strides_;
    StridedRows r;
    r.base = static_cast<const char*>(v.buf);
    r.element = element_;
    if (v.ndim == 1) {
        r.rows = 1;
        r.width = static_cast<std::size_t>(v.shape[0]);
        r.col_stride = strides[0];
        r.row_stride = 0;
    } else {
        r.rows = static_cast<std::size_t>(v.shape[0]);
        r.width = static_cast<std::size_t>(v.shape[1]);
        r.row_stride = strides[0];
        r.col_stride = strides[1];
    }
    return r;
}

// ---------------------------------------------------------------------------------------------
// Sequences

int Items::open(PyObject* o) {
    Py_CLEAR(seq_);
    size_ = 0;
    shared_list_ = false;
    if (PyList_Check(o) || PyTuple_Check(o)) {
        seq_ = Py_NewRef(o);
        shared_list_ = PyList_Check(o);
    } else {
        if (is_text(o)) return 0;
        // Any other iterable becomes a list of our own, which no conversion can reach.
        seq_ = PySequence_List(o);
        if (seq_ == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
            PyErr_Clear();
            return 0;
        }
    }
    size_ = PySequence_Fast_GET_SIZE(seq_);
    return 1;
}

PyObject* Items::get(Py_ssize_t i, const char* what) {
    if (!shared_list_) return Py_NewRef(PySequence_Fast_GET_ITEM(seq_, i));
    if (PyList_GET_SIZE(seq_) == size_) {
#ifdef Py_GIL_DISABLED
        // Another thread may change the list between the check and the read: the interpreter's
        // checked read takes the reference under the list's own lock.
        if (PyObject* item = PyList_GetItemRef(seq_, i)) return item;
        PyErr_Clear();
#else
        return Py_NewRef(PyList_GET_ITEM(seq_, i));
#endif
    }
    raise_changed(what);
    return nullptr;
}

PyObject* Items::changed(const char* what) {
    raise_changed(what);
    return nullptr;
}

bool Items::finish(const char* what) {
    if (shared_list_ && PyList_GET_SIZE(seq_) != size_) return raise_changed(what);
    return true;
}

bool read_number(PyObject* o, double& out, const char* what) {
    if (PyFloat_CheckExact(o)) [[likely]] {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    const PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || (nb->nb_float == nullptr && nb->nb_index == nullptr)) {
        PyErr_Format(PyExc_TypeError, "%s must be numbers, not '%.200s'", what, Py_TYPE(o)->tp_name);
        return false;
    }
    // The conversion's own error (a TypeError or OverflowError from __float__ or __index__) is
    // the clearest account of what went wrong: it stays.
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool is_one_number(PyObject* o) {
    if (PyFloat_Check(o) || PyLong_Check(o)) return true;
    if (PyObject_CheckBuffer(o) && !is_text(o)) {
        BufferView view;
        const int lent = view.acquire(o);
        if (lent > 0) return view.ndim() == 0;
        if (lent < 0) {
            PyErr_Clear();  // read as numbers, the buffer is asked for again and its error kept
            return false;
        }
    }
    return !PySequence_Check(o);
}

namespace {

[[gnu::cold]] bool raise_count(const char* what, std::size_t want, std::size_t got) {
    PyErr_Format(PyExc_ValueError, "%s must have %zu numbers, not %zu", what, want, got);
    return false;
}

// The numbers of an open sequence into out[0, items.size()).
bool read_item_numbers(Items& items, double* out, const char* what) {
    for (Py_ssize_t i = 0; i < items.size(); ++i) {
        PyObject* item = items.hold(i, what);
        if (item == nullptr) return false;
        if (PyFloat_CheckExact(item)) {  // no Python code runs
            out[i] = PyFloat_AS_DOUBLE(item);
            Items::drop(item);
            continue;
        }
        // A conversion runs Python code, which may drop the list's reference: the item gets its own.
        Py_INCREF(item);
        Items::drop(item);
        const bool ok = read_number(item, out[i], what);
        Py_DECREF(item);
        if (!ok) return false;
    }
    return items.finish(what);
}

// Numbers of a flat sequence or a 1-D buffer into the storage for them that room(n) gives
// (nullptr with the error set when it has none).
template <class Room>
bool read_flat(PyObject* o, std::size_t count, const char* what, Room&& room) {
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) {  // lists and tuples lend no buffer
        BufferView view;
        const int lent = view.acquire(o);
        if (lent < 0) return false;
        // A 1-D buffer of doubles or floats; any other is read as a sequence.
        if (lent > 0 && view.ndim() == 1 && view.element() != Element::Other) {
            const StridedRows r = view.rows();
            if (count != kAnyCount && r.width != count) return raise_count(what, count, r.width);
            double* out = room(r.width);
            if (out == nullptr) return false;
            r.row(0, out);
            return true;
        }
    }
    Items items;
    const int opened = items.open(o);
    if (opened < 0) return false;
    if (opened == 0) {
        PyErr_Format(PyExc_TypeError, "%s must be a sequence of numbers", what);
        return false;
    }
    const auto n = static_cast<std::size_t>(items.size());
    if (count != kAnyCount && n != count) return raise_count(what, count, n);
    double* out = room(n);
    return out != nullptr && read_item_numbers(items, out, what);
}

#ifndef Py_GIL_DISABLED
// A list or tuple of exactly `width` floats into out, read in place: nothing here runs Python
// code, so with the global lock nobody changes it meanwhile. False (nothing set, nothing
// written that counts) for any other row, which the careful path reads.
bool read_plain_row(PyObject* row, double* out, std::size_t width) {
    if (!(PyList_CheckExact(row) || PyTuple_CheckExact(row)) ||
        static_cast<std::size_t>(PySequence_Fast_GET_SIZE(row)) != width)
        return false;
    PyObject** items = PySequence_Fast_ITEMS(row);
    for (std::size_t c = 0; c < width; ++c) {
        if (!PyFloat_CheckExact(items[c])) return false;
        out[c] = PyFloat_AS_DOUBLE(items[c]);
    }
    return true;
}
#endif

}  // namespace

bool read_numbers(PyObject* o, std::vector<double>& out, std::size_t count, const char* what) {
    double none = 0.0;  // room for no numbers: an empty vector may have no storage at all
    return read_flat(o, count, what, [&out, &none](std::size_t n) -> double* {
        if (n == 0) return &none;
        const std::size_t at = out.size();
        try {
            out.resize(at + n);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return nullptr;
        }
        return out.data() + at;
    });
}

bool read_numbers(PyObject* o, double* out, std::size_t n, const char* what) {
    return read_flat(o, n, what, [out](std::size_t) { return out; });
}

// ---------------------------------------------------------------------------------------------
// Rows

bool RowsIn::read(PyObject* o, std::size_t width, const char* what, Options options) {
    // Lists and tuples lend no buffer: the common nested sequences skip the question.
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) {
        if (const int lent = read_buffer(o, width, what, options); lent != 0) return lent > 0;
    }
    Items items;
    const int opened = items.open(o);
    if (opened < 0) return false;
    if (opened == 0) {
        if (options.one_row) {
            PyErr_Format(PyExc_TypeError, "%s must be a sequence of numbers", what);
        } else if (options.rows != kAnyCount) {
            PyErr_Format(PyExc_TypeError, "%s must be %zu rows of %zu numbers", what, options.rows, width);
        } else {
            PyErr_Format(PyExc_TypeError, "%s must be a sequence of rows", what);
        }
        return false;
    }
    return read_items(items, width, what, options);
}

int RowsIn::read_buffer(PyObject* o, std::size_t width, const char* what, Options options) {
    width_ = width;
    const int lent = view_.acquire(o);
    if (lent <= 0) return lent;
    // One row: a 1-D buffer of numbers. A 1-D buffer of other elements (a bytearray, an int64
    // array) is read as a sequence of numbers, as is any other buffer that is not two-dimensional.
    if (options.one_row && view_.ndim() != 2) {
        if (view_.ndim() != 1 || view_.element() == Element::Other) {
            view_.release();
            return 0;
        }
        const StridedRows r = view_.rows();
        if (r.width != width) {
            view_.release();
            raise_count(what, width, r.width);
            return -1;
        }
        single_ = true;
        Options copied = options;
        copied.in_place = false;  // one row is copied: its reader wants three numbers, not a view
        return take_rows(r, what, copied) ? 1 : -1;
    }
    if (view_.element() == Element::Other) {
        view_.release();
        PyErr_Format(PyExc_TypeError, "%s must hold float64 or float32 numbers", what);
        return -1;
    }
    if (view_.ndim() != 2 || static_cast<std::size_t>(view_.dim(1)) != width ||
        (options.rows != kAnyCount && static_cast<std::size_t>(view_.dim(0)) != options.rows)) {
        view_.release();
        if (options.rows != kAnyCount) {
            PyErr_Format(PyExc_ValueError, "%s must be a %zu x %zu matrix", what, options.rows, width);
        } else {
            PyErr_Format(PyExc_ValueError, "%s must have the shape (n, %zu)", what, width);
        }
        return -1;
    }
    return take_rows(view_.rows(), what, options) ? 1 : -1;
}

// The rows of the held buffer: kept where they are, or copied (and the buffer released).
bool RowsIn::take_rows(const StridedRows& r, const char*, const Options& options) {
    count_ = r.rows;
    if (options.in_place) {
        strided_ = r;
        values_ = r.packed();
        return true;
    }
    double* out = storage(r.rows * r.width);
    if (out != nullptr) r.copy(0, r.rows, out);
    view_.release();
    values_ = out;
    return out != nullptr;
}

double* RowsIn::storage(std::size_t n) {
    if (n <= kSmall) return small_;
    try {
        own_.resize(n);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    return own_.data();
}

// One row of width_ numbers into out.
bool RowsIn::read_row(PyObject* row, double* out, const char* what, const Options& options) {
    Items items;
    const int opened = items.open(row);
    if (opened < 0) return false;
    if (opened == 0) {
        if (options.rows != kAnyCount) {
            PyErr_Format(PyExc_TypeError, "%s must be %zu rows of %zu numbers, not '%.200s'", what, options.rows,
                         width_, Py_TYPE(row)->tp_name);
        } else {
            PyErr_Format(PyExc_TypeError, "%s must be rows of %zu numbers, not '%.200s'", what, width_,
                         Py_TYPE(row)->tp_name);
        }
        return false;
    }
    if (static_cast<std::size_t>(items.size()) != width_)
        return raise_count(what, width_, static_cast<std::size_t>(items.size()));
    return read_item_numbers(items, out, what);
}

bool RowsIn::read_items(Items& items, std::size_t width, const char* what, Options options) {
    width_ = width;
    const auto n = static_cast<std::size_t>(items.size());
    if (options.one_row && n > 0) {
        // One row, or rows: as the first item is a sequence or not.
        PyObject* first = items.hold(0, what);
        if (first == nullptr) return false;
        single_ = !PySequence_Check(first) || is_text(first);
        Items::drop(first);
        if (single_) {
            if (n != width) return raise_count(what, width, n);
            double* out = storage(width);
            if (out == nullptr || !read_item_numbers(items, out, what)) return false;
            count_ = 1;
            values_ = out;
            return true;
        }
    }
    if (options.rows != kAnyCount && n != options.rows) {
        PyErr_Format(PyExc_ValueError, "%s must be a %zu x %zu matrix", what, options.rows, width);
        return false;
    }
    double* out = storage(n * width);
    if (out == nullptr) return false;
    for (std::size_t r = 0; r < n; ++r) {
#ifndef Py_GIL_DISABLED
        PyObject* plain = items.hold(static_cast<Py_ssize_t>(r), what);
        if (plain == nullptr) return false;
        if (read_plain_row(plain, out + r * width, width)) continue;
#endif
        PyObject* row = items.get(static_cast<Py_ssize_t>(r), what);
        if (row == nullptr) return false;
        const bool ok = read_row(row, out + r * width, what, options);
        Py_DECREF(row);
        if (!ok) return false;
    }
    if (!items.finish(what)) return false;
    count_ = n;
    values_ = out;
    return true;
}

}  // namespace ostrilo
