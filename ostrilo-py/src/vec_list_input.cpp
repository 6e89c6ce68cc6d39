// Reading elements in. VecList(obj) takes, in this order: a list or tuple of Vec3d (read in
// place), another VecList (its array), a 2-D (n, 3) buffer of native doubles or floats with any
// strides (copied on the pool), and any other sequence of Vec3d (through iteration).
#include "vec_list_input.hpp"

#include <algorithm>
#include <new>
#include <type_traits>

#include "frame/rows.hpp"
#include "vec3d.hpp"
#include "vec_list.hpp"
#include "worker_pool.hpp"

namespace ostrilo {

using drevan::Vec3d;

namespace {

// ---------------------------------------------------------------------------------------------
// Buffers: checked and read by the frame's reader (frame/rows.hpp), copied here on the pool.

// A plain copy runs at memory speed on one thread; a second one only pays for its hand-off (and,
// on a busy machine, for waiting until it is scheduled) from tens of megabytes on.
constexpr pool::Grain kPlainCopy{std::size_t{1} << 20};

static_assert(sizeof(Vec3d) == 3 * sizeof(double) && std::is_standard_layout_v<Vec3d>,
              "rows of three doubles are copied as Vec3d records");

// The rows of a 2-D (n, 3) buffer of native doubles or floats, copied in order into out.
// 1: taken; 0: o lends no such buffer (nothing set, the caller goes on with the sequence path);
// -1: the exporter failed or lied about its memory, or the copy could not be allocated (error
// set).
int read_buffer_rows(PyObject* o, VecArray& out) {
    BufferView view;
    if (const int lent = view.acquire(o); lent <= 0) return lent;
    // Any other buffer (another element type or shape) is read as a sequence of Vec3d, which
    // gives the usual type errors.
    if (view.element() == Element::Other || view.ndim() != 2 || view.dim(1) != 3) return 0;
    const StridedRows rows = view.rows();
    try {
        VecArray a = uninitialised(rows.rows);  // a length no allocator can meet throws std::bad_alloc
        double* dst = reinterpret_cast<double*>(a.data());
        const pool::Grain grain = rows.packed() != nullptr ? kPlainCopy : pool::Grain{};
        pool::for_blocks(rows.rows, [&rows, dst](std::size_t b, std::size_t e) { rows.copy(b, e, dst); }, grain);
        out = std::move(a);
    } catch (const std::bad_alloc&) {
        PyErr_Format(PyExc_MemoryError, "cannot allocate a VecList of %zu elements", rows.rows);
        return -1;
    }
    return 1;
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// Sequences

// A length reported by __len__ is only a hint: a sequence may claim sys.maxsize and yield two
// items. Reserve at most this many elements from it; longer sequences grow geometrically.
constexpr std::size_t kHintCap = std::size_t{1} << 16;

[[gnu::cold]] void raise_str_not_vec() { PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`"); }

// The vector held by item, copied out under a momentary shared borrow; false with the error set.
inline bool read_vec(PyObject* item, PyTypeObject* vec_type, Vec3d& out) {
    if (Py_TYPE(item) != vec_type) [[unlikely]] {
        raise_not_instance(item, "Vec3d");
        return false;
    }
    Shared<Vec3d> b;
    if (!b.acquire_unchecked(item)) [[unlikely]]
        return false;
    out = b.get();
    return true;
}

// Lists and tuples: their items are read in place. Nothing here runs Python code, so the list
// cannot change while it is read (on a free-threaded interpreter the critical section keeps
// other threads out).
bool gather_fast(PyObject* o, PyTypeObject* vec_type, VecArray& out) {
    bool ok = true;
#ifdef Py_GIL_DISABLED
    Py_BEGIN_CRITICAL_SECTION(o);
#endif
    const bool is_list = PyList_CheckExact(o);
    const Py_ssize_t n = is_list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
    PyObject** items =
        is_list ? reinterpret_cast<PyListObject*>(o)->ob_item : reinterpret_cast<PyTupleObject*>(o)->ob_item;
    try {
        out = uninitialised(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n && ok; ++i) ok = read_vec(items[i], vec_type, out[static_cast<std::size_t>(i)]);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        ok = false;
    }
#ifdef Py_GIL_DISABLED
    Py_END_CRITICAL_SECTION();
#endif
    return ok;
}

// Any other sequence: the iteration protocol, with the length as a capped capacity hint.
bool gather_iter(PyObject* o, PyTypeObject* vec_type, VecArray& out) {
    const Py_ssize_t len = PyObject_Size(o);
    if (len < 0) PyErr_Clear();
    try {
        if (len > 0) out.reserve(std::min(static_cast<std::size_t>(len), kHintCap));
    } catch (const std::bad_alloc&) {
        // A hint that cannot be honoured is no error: the array grows as items arrive.
    }
    PyObject* it = PyObject_GetIter(o);
    if (it == nullptr) return false;
    bool ok = true;
    try {
        while (PyObject* item = PyIter_Next(it)) {
            Vec3d v;
            ok = read_vec(item, vec_type, v);
            Py_DECREF(item);
            if (!ok) break;
            out.push_back(v);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        ok = false;
    }
    Py_DECREF(it);
    return ok && !PyErr_Occurred();
}

}  // namespace

// The argument conversion of `list`.
bool Caster<Gathered>::from(PyObject* o, Gathered& h) noexcept {
    if (PyUnicode_Check(o)) {
        raise_str_not_vec();
        return false;
    }
    PyTypeObject* vec_type = class_object<Vec3d>.get();
    if (vec_type == nullptr) return false;
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return gather_fast(o, vec_type, h.items);
    if (Py_TYPE(o) == class_object<VecList>.peek()) {
        // Another list: its array, read under a shared borrow.
        Shared<VecList> b;
        if (!b.acquire_unchecked(o)) return false;
        try {
            h.items = copy_of(b.get().items);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
    // A 2-D (n, 3) array of doubles or floats; any other buffer is read as a sequence.
    if (const int taken = read_buffer_rows(o, h.items); taken != 0) return taken > 0;
    if (!PySequence_Check(o)) {
        raise_not_instance(o, "Sequence");
        return false;
    }
    return gather_iter(o, vec_type, h.items);
}

}  // namespace ostrilo
