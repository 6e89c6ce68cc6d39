#pragma once
// Numbers coming in: the one reader of buffers (a NumPy array, a memoryview, any exporter) and of
// sequences (lists, tuples, anything iterable) for every module built on the frame. It names no
// class: a caller that takes instances of its own classes from a sequence reads them through
// Items and borrows each one itself.
//
// What the reader guards against:
//   - an exporter that lies: a view with suboffsets, without a shape, with a negative dimension,
//     with a length that does not match its shape, without memory, or whose item size disagrees
//     with its format is refused with BufferError before anything is read;
//   - a sequence that changes while it is read: __float__ and __index__ run Python code, which may
//     clear or grow the very list being read. Each item is held by a reference while it converts,
//     and the list's length is checked again before the next item and at the end, so a change is
//     a ValueError, never a read past the end;
//   - memory that changes while it is read (see below).
//
// The interpreter lock. Memory lent through a buffer is not ours: on a free-threaded interpreter
// any thread may write it at any time, and even with the lock another thread may be in the middle
// of a NumPy copy that released it. So whether or not a caller holds the lock, lent memory is
// either copied into our own arrays before anything depends on it, or read in place only by code
// for which a value that changes meanwhile can give wrong numbers but never a wrong size, index or
// branch into memory: arithmetic on one element at a time (rotate_each's rotations), or a pass
// that reads each element exactly once (read_once) and decides only on that copy (the spatial
// index's build, which sorts each point into its tree or aside, and its queries, each read once
// before the search). Memory of our own classes (a VecList's array) is read in place only under a
// borrow, which keeps every writer out until the call ends.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <vector>

#include "frame/read_once.hpp"

namespace ostrilo {

// ---------------------------------------------------------------------------------------------
// Buffers

// The element type of a buffer: native doubles or floats ("d", "@d", "=d", or with this
// machine's byte order spelt out; the same for "f"); anything else is Other. The formats are
// parsed here and nowhere else.
enum class Element : unsigned char { Other, Double, Float };

// Numbers in a checked buffer: `rows` rows of `width` elements at byte strides (row_stride,
// col_stride) from base. Strides may be negative, zero or unaligned: elements are read with
// memcpy, each exactly once.
struct StridedRows {
    const char* base = nullptr;
    std::size_t rows = 0;
    std::size_t width = 0;
    Py_ssize_t row_stride = 0;
    Py_ssize_t col_stride = 0;
    Element element = Element::Double;

    // The rows lie as contiguous, aligned doubles: they can be used where they are.
    const double* packed() const noexcept;
    // Row i into out[0, width).
    void row(std::size_t i, double* out) const noexcept;
    // Rows [b, e) into dst, row i at dst + i * width (dst is the start of all rows, so that blocks
    // of one copy can run on several threads).
    void copy(std::size_t b, std::size_t e, double* dst) const noexcept;
};

// A buffer lent by an object, checked, and released when this goes.
class BufferView {
  public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Asks o for a strided, read-only buffer with its format.
    //  1: lent and checked;
    //  0: o lends no buffer, or could not describe itself as one while it is a sequence that can
    //     be read instead (numpy's datetimes raise ValueError; a class's own __buffer__ may raise
    //     anything); nothing is set;
    // -1: the exporter failed (a BufferError, running out of memory) or lied; the error is set.
    int acquire(PyObject* o);
    void release() noexcept;

    bool held() const noexcept { return held_; }
    int ndim() const noexcept { return view_.ndim; }
    Py_ssize_t dim(int d) const noexcept { return view_.shape[d]; }
    // For views of more dimensions than rows() reads (stacks of matrices): the byte stride of
    // dimension d (the C-contiguous one where the exporter gave none) and the memory. Read each
    // element once, with memcpy.
    Py_ssize_t stride(int d) const noexcept;
    const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
    Element element() const noexcept { return element_; }
    // The numbers of a 1-D (as one row) or 2-D view of doubles or floats.
    StridedRows rows() const noexcept;

  private:
    int check();

    Py_buffer view_;  // filled by acquire; read only while held_
    bool held_ = false;
    Element element_ = Element::Other;
    Py_ssize_t strides_[2] = {0, 0};  // those of a C-contiguous view that came without strides
};

// ---------------------------------------------------------------------------------------------
// Sequences

// The items of a sequence: a list or tuple read where it is, anything else iterable gathered into
// a new list of our own first. An item that a conversion may run Python code for is taken with
// its own reference (get), so that the conversion cannot free it under the reader; a list that
// others can reach is checked for its length before each item and once more at the end (finish).
class Items {
  public:
    Items() = default;
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;
    ~Items() { Py_XDECREF(seq_); }

    // 1: open; 0: o is not iterable, or is a str or bytes, which hold no numbers (nothing set);
    // -1: iterating it failed (the error is set).
    int open(PyObject* o);
    Py_ssize_t size() const noexcept { return size_; }
    // Item i (i < size()) as a new reference; nullptr with ValueError "<what> changed size while
    // it was read" when the list no longer has size() items.
    PyObject* get(Py_ssize_t i, const char* what);
    // Item i for code that runs no Python code while it uses it (a type check, a float's value, a
    // borrow of an instance): borrowed where the global lock keeps everyone else out, else a
    // reference of its own. Give it back with drop().
    PyObject* hold(Py_ssize_t i, const char* what) {
#ifdef Py_GIL_DISABLED
        return get(i, what);
#else
        if (shared_list_ && PyList_GET_SIZE(seq_) != size_) [[unlikely]]
            return changed(what);
        return PySequence_Fast_GET_ITEM(seq_, i);
#endif
    }
    static void drop([[maybe_unused]] PyObject* item) noexcept {
#ifdef Py_GIL_DISABLED
        Py_DECREF(item);
#endif
    }
    // The same check once the last item has converted.
    bool finish(const char* what);

  private:
    [[gnu::cold]] static PyObject* changed(const char* what);  // the ValueError; nullptr

    PyObject* seq_ = nullptr;  // a list or tuple
    Py_ssize_t size_ = 0;
    bool shared_list_ = false;  // a list someone else can reach (and change)
};

// A number: a float, an int, or anything with __float__ or __index__ (NumPy's scalars and 0-d
// arrays). An error raised by the conversion is kept; an object that is no number gives
// TypeError "<what> must be numbers, not 'T'". False with the error set.
bool read_number(PyObject* o, double& out, const char* what);

// Whether o is read as one number where a number or a sequence of them may come: a float, an
// int, a buffer of no dimensions (a 0-d array), or anything that lends no buffer and is no
// sequence (NumPy's scalars).
bool is_one_number(PyObject* o);

// Numbers of a flat sequence or of a 1-D buffer of doubles or floats, appended to out; exactly
// `count` of them unless count is kAnyCount. Messages: TypeError "<what> must be a sequence of
// numbers", ValueError "<what> must have <count> numbers, not <n>".
inline constexpr std::size_t kAnyCount = static_cast<std::size_t>(-1);
bool read_numbers(PyObject* o, std::vector<double>& out, std::size_t count, const char* what);
// Exactly n numbers into out[0, n).
bool read_numbers(PyObject* o, double* out, std::size_t n, const char* what);

// Rows of `width` numbers from an argument: a 2-D (n, width) buffer of doubles or floats, or a
// sequence of sequences of numbers.
class RowsIn {
  public:
    struct Options {
        std::size_t rows = kAnyCount;  // a fixed number of rows (a matrix), or any
        bool one_row = false;          // a flat sequence (or a 1-D buffer) is one row
        bool in_place = false;         // a buffer is kept and read where it lies, not copied
    };

    // Reads o: a buffer if it lends one, else a sequence. False with the error set. Messages
    // name `what`:
    //   TypeError  "<what> must be a sequence of rows", "<what> must be rows of <w> numbers, not
    //              'T'" ("<r> rows of <w> numbers" for a fixed number of rows), "<what> must hold
    //              float64 or float32 numbers" (a buffer of other elements), and read_number's;
    //   ValueError "<what> must have the shape (n, <w>)" (a buffer of another shape), "<what> must
    //              have <w> numbers, not <k>" (a row of another length), "<what> must be a <r> x
    //              <w> matrix" (a fixed number of rows, not met), and Items' "changed size".
    bool read(PyObject* o, std::size_t width, const char* what, Options options);
    // Only the buffer: 1 read, 0 o lends none (nothing set; read a sequence instead), -1 error.
    int read_buffer(PyObject* o, std::size_t width, const char* what, Options options);
    // Only a sequence, opened by the caller (who may have looked at its first item already).
    bool read_items(Items& items, std::size_t width, const char* what, Options options);

    std::size_t count() const noexcept { return count_; }
    std::size_t width() const noexcept { return width_; }
    // One row came as a flat sequence or a 1-D buffer (only with Options::one_row).
    bool single() const noexcept { return single_; }
    // The numbers row after row, when they lie together: our own copy, or (in place) a buffer of
    // contiguous aligned doubles. nullptr for a buffer kept in place with other strides or
    // floats: read those through in_place().
    const double* values() const noexcept { return values_; }
    // The buffer kept in place (Options::in_place), or nullptr.
    const StridedRows* in_place() const noexcept { return view_.held() ? &strided_ : nullptr; }

  private:
    bool take_rows(const StridedRows& r, const char* what, const Options& options);
    bool read_row(PyObject* row, double* out, const char* what, const Options& options);
    // Room for n numbers of our own: a few on the stack (one row, a matrix), more on the heap.
    double* storage(std::size_t n);

    static constexpr std::size_t kSmall = 16;
    BufferView view_;
    StridedRows strided_;
    double small_[kSmall];
    std::vector<double> own_;
    const double* values_ = nullptr;
    std::size_t count_ = 0;
    std::size_t width_ = 0;
    bool single_ = false;
};

}  // namespace ostrilo
