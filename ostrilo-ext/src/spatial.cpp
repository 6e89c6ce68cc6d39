// SpatialIndex (spatial.hpp): argument forms, results as NumPy arrays or plain values, and the
// long queries run without the interpreter lock.
//
// Points and queries come as a VecList (read in place under a shared borrow), an (n, 3) buffer
// of float64 or float32 (a NumPy array; read in place when its rows are contiguous doubles), a
// sequence of rows, or for one query a Vec3d or a row of three numbers. Many queries give NumPy
// arrays; one gives plain values.
#include "spatial.hpp"

#include <cmath>
#include <exception>
#include <utility>
#include <vector>

#include "ostrilo_ext_prose.hpp"

namespace ostrilo {

using drevan::Vec3d;
using spatial::Hit;
using spatial::SpatialIndex;

static_assert(sizeof(Vec3d) == 3 * sizeof(double) && std::is_standard_layout_v<Vec3d>,
              "rows of three doubles are read as Vec3d records");

namespace ext {
namespace {

constexpr const char* kPointsArg = "argument 'points':";

bool lent_runner(std::size_t n, std::size_t grain, void (*body)(void*, std::size_t, std::size_t) noexcept,
                 void* ctx) noexcept {
    return g_shared->for_blocks(n, grain, body, ctx);
}

// Work above this many queries (or points to build) runs with the interpreter lock released, so
// that other Python threads go on meanwhile; below it the hand-over costs more than it frees.
// When either module releases the lock, and what it may read meanwhile, is stated once, in
// docs/conventions.rst ("The interpreter lock").
constexpr std::size_t kReleaseFrom = 2048;

// Most entries (m * k) of results padded past the number of points.
constexpr std::size_t kMaxPadded = std::size_t{1} << 27;

// Runs f() without the interpreter lock when `large`; its exception is rethrown with the lock
// held again. f touches no Python object, only arrays kept alive by the call: a VecList's under
// its borrow, which nobody changes meanwhile, and a buffer's, which another thread may change and
// which f therefore reads once per element (frame/rows.hpp).
template <class F>
void maybe_detached(bool large, F&& f) {
    if (!large) {
        f();
        return;
    }
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS try { f(); } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (error) std::rethrow_exception(error);
}

// The points of a call: one query or many, wherever they live. A VecList's array and a buffer
// of contiguous doubles are read in place (the list under a shared borrow, the buffer held for the
// call); other buffers and sequences are copied.
struct PointsArg {
    bool single = false;
    Vec3d one{};
    Shared<VecList> list;  // held for the call when the points are a VecList's own
    RowsIn rows;           // holds a buffer read in place
    std::vector<Vec3d> own;
    const Vec3d* data = nullptr;
    std::size_t count = 0;

    void read(PyObject* o, bool allow_single) {
        if (is_instance<Vec3d>(o) && allow_single) {
            Shared<Vec3d> v;
            if (!v.acquire(o)) throw_pyerr();
            set_one(v.get());
            return;
        }
        if (is_instance<VecList>(o)) {
            if (!list.acquire(o)) throw_pyerr();
            data = list.get().items.data();
            count = list.get().items.size();
            return;
        }
        read_rows(rows, o, 3, kPointsArg, {.one_row = allow_single, .in_place = true});
        if (rows.single()) {
            const double* xyz = rows.values();
            set_one({xyz[0], xyz[1], xyz[2]});
            return;
        }
        count = rows.count();
        if (const double* v = rows.values()) {
            data = reinterpret_cast<const Vec3d*>(v);
            return;
        }
        // Strided or float32 rows: copied, so that the index works on contiguous doubles.
        own.resize(count);
        rows.in_place()->copy(0, count, reinterpret_cast<double*>(own.data()));
        data = own.data();
    }
    PointsArg() = default;
    PointsArg(const PointsArg&) = delete;

    void set_one(const Vec3d& v) {
        single = true;
        one = v;
        data = &one;
        count = 1;
    }
};

[[noreturn, gnu::cold]] void value_error(const char* text) {
    PyErr_SetString(PyExc_ValueError, text);
    throw_pyerr();
}

void check_radius(double r) {
    if (!(r >= 0)) value_error("r must be a number >= 0 (inf takes every point whose distance is not NaN)");
}

// A new (rows, cols) NumPy array of `dtype` ("intp", "float64") and its writable storage.
struct NewArray {
    PyObject* array = nullptr;
    Py_buffer view{};
    NewArray(std::size_t rows, std::size_t cols, const char* dtype, bool two_d) {
        PyObject* np = PyImport_ImportModule("numpy");
        if (np == nullptr) throw_pyerr();
        array = two_d ? PyObject_CallMethod(np, "empty", "((nn)s)", static_cast<Py_ssize_t>(rows),
                                            static_cast<Py_ssize_t>(cols), dtype)
                      : PyObject_CallMethod(np, "empty", "((n)s)", static_cast<Py_ssize_t>(rows), dtype);
        Py_DECREF(np);
        if (array == nullptr) throw_pyerr();
        if (PyObject_GetBuffer(array, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
            Py_CLEAR(array);
            throw_pyerr();
        }
    }
    NewArray(const NewArray&) = delete;
    ~NewArray() {
        if (array != nullptr) {
            PyBuffer_Release(&view);
            Py_DECREF(array);
        }
    }
    template <class T>
    T* data() {
        return static_cast<T*>(view.buf);
    }
    PyObject* release() {
        PyBuffer_Release(&view);
        return std::exchange(array, nullptr);
    }
};

PyObject* int_list(const std::ptrdiff_t* v, std::size_t n) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) throw_pyerr();
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* x = PyLong_FromSsize_t(v[i]);
        if (x == nullptr) {
            Py_DECREF(list);
            throw_pyerr();
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), x);
    }
    return list;
}

PyObject* pair(PyObject* a, PyObject* b) {
    if (a == nullptr || b == nullptr) {
        Py_XDECREF(a);
        Py_XDECREF(b);
        throw_pyerr();
    }
    PyObject* t = PyTuple_Pack(2, a, b);
    Py_DECREF(a);
    Py_DECREF(b);
    if (t == nullptr) throw_pyerr();
    return t;
}

// ---------------------------------------------------------------------------------------------
// The class

SpatialIndex make_index(Rows points) {
    PointsArg p;
    p.read(points.o, false);
    SpatialIndex index;
    maybe_detached(p.count >= kReleaseFrom * 16, [&] { index = SpatialIndex(p.data, p.count, &lent_runner); });
    return index;
}

std::size_t length(const SpatialIndex& s) { return s.size(); }

VecList get_points(const SpatialIndex& s) {
    VecList out;
    out.items.resize(s.size());
    s.copy_points(out.items.data());
    return out;
}

std::size_t get_nbytes(const SpatialIndex& s) { return s.memory_bytes(); }

std::string repr(const SpatialIndex& s) { return "SpatialIndex(<" + std::to_string(s.size()) + " points>)"; }

Object query(const SpatialIndex& s, Rows points, Opt<std::size_t, "1"> k_arg) {
    const std::size_t k = k_arg;
    if (k == 0) value_error("k must be at least 1");
    // Every answer holds k entries (padded past the points), each of 16 bytes or more.
    if (k > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 16) value_error("k is too large for the results");
    PointsArg p;
    p.read(points.o, true);
    // Padding is for a k somewhat above the number of points, not for allocating what no
    // memory holds (nothing but padding, written into every page of it).
    if (k > s.size() && k > kMaxPadded / (p.count == 0 ? 1 : p.count)) {
        PyErr_Format(PyExc_ValueError,
                     "k = %zu exceeds the %zu points, and the padded results would hold more than %zu entries", k,
                     s.size(), kMaxPadded);
        throw_pyerr();
    }
    if (p.single) {
        std::vector<Hit> hits(std::min(k, s.size()));
        const std::size_t found = s.nearest(p.one, k, hits.data());
        if (k == 1) {
            if (found == 0) return Object{pair(PyLong_FromSize_t(s.size()), PyFloat_FromDouble(HUGE_VAL))};
            return Object{pair(PyLong_FromSize_t(hits[0].index), PyFloat_FromDouble(distance_of(hits[0])))};
        }
        std::vector<std::ptrdiff_t> idx(k);
        std::vector<double> dist(k);
        for (std::size_t j = 0; j < k; ++j) {
            idx[j] = static_cast<std::ptrdiff_t>(j < found ? hits[j].index : s.size());
            dist[j] = j < found ? distance_of(hits[j]) : HUGE_VAL;
        }
        PyObject* d = PyList_New(static_cast<Py_ssize_t>(k));
        if (d == nullptr) throw_pyerr();
        for (std::size_t j = 0; j < k; ++j) {
            PyObject* x = PyFloat_FromDouble(dist[j]);
            if (x == nullptr) {
                Py_DECREF(d);
                throw_pyerr();
            }
            PyList_SET_ITEM(d, static_cast<Py_ssize_t>(j), x);
        }
        return Object{pair(int_list(idx.data(), k), d)};
    }
    if (k > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 16 / (p.count == 0 ? 1 : p.count))
        value_error("k is too large for the results");
    NewArray idx(p.count, k, "intp", true), dist(p.count, k, "float64", true);
    auto* ip = idx.data<std::ptrdiff_t>();
    auto* dp = dist.data<double>();
    maybe_detached(p.count >= kReleaseFrom, [&] { s.nearest_many(p.data, p.count, k, ip, dp); });
    PyObject* i = idx.release();
    return Object{pair(i, dist.release())};
}

Object query_radius(const SpatialIndex& s, Rows points, double r) {
    check_radius(r);
    PointsArg p;
    p.read(points.o, true);
    std::vector<std::ptrdiff_t> idx;
    std::vector<double> dist;
    std::vector<std::size_t> off;
    maybe_detached(p.count >= kReleaseFrom, [&] { s.within_many(p.data, p.count, r, idx, dist, off); });
    if (p.single) return Object{int_list(idx.data(), idx.size())};
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(p.count));
    if (out == nullptr) throw_pyerr();
    for (std::size_t i = 0; i < p.count; ++i) {
        PyObject* l;
        try {
            l = int_list(idx.data() + off[i], off[i + 1] - off[i]);
        } catch (...) {
            Py_DECREF(out);
            throw;
        }
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), l);
    }
    return Object{out};
}

Object count_radius(const SpatialIndex& s, Rows points, double r) {
    check_radius(r);
    PointsArg p;
    p.read(points.o, true);
    if (p.single) return Object{PyLong_FromSize_t(s.count_within(p.one, r))};
    NewArray counts(p.count, 1, "intp", false);
    auto* cp = counts.data<std::ptrdiff_t>();
    maybe_detached(p.count >= kReleaseFrom, [&] { s.count_within_many(p.data, p.count, r, cp); });
    return Object{counts.release()};
}

using Doc = Documented<kProse>;

// clang-format off
using SpatialIndexClass = ClassTable<SpatialIndex,
    // Construction
    Doc::Ctor<make_index, "points">,
    // Properties
    Doc::Property<"points", get_points>,
    Doc::Property<"nbytes", get_nbytes>,
    // Queries
    Doc::Method<"query",        query,        "points", "k">,
    Doc::Method<"query_radius", query_radius, "points", "r">,
    Doc::Method<"count_radius", count_radius, "points", "r">,
    // Pickling
    Pickled<"spatial_index">,
    // Protocol slots
    Len<length>,
    Repr<repr>,
    CompareByIdentity,
    Unhashable>;
// clang-format on

}  // namespace
}  // namespace ext

PyTypeObject* Bound<spatial::SpatialIndex>::create() { return ext::SpatialIndexClass::create(); }

}  // namespace ostrilo
