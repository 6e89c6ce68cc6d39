// SpatialIndex (spatial.hpp): argument forms, results as NumPy arrays or plain values, and the
// long queries run without the interpreter lock.
//
// Points and queries come as a VecList (read in place under a shared borrow), an (n, 3) buffer
// of float64 or float32 (a NumPy array; read in place when its rows are contiguous doubles), a
// sequence of rows, or for one query a Vec3d or a row of three numbers. Many queries give NumPy
// arrays; one gives plain values.
#include "spatial.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
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

// A number or a sequence of them (boxsize, count_neighbors' r).
constexpr Json number_or_numbers() {
    Json j = json_of(R"({"type":"binop","left":)");
    j.add(builtin_annotation("float"));
    j.add(R"(,"op":"bitor","right":)");
    j.add(sequence_of(builtin_annotation("float")));
    j.add("}");
    return j;
}

// boxsize: a number (the same period along every axis) or three; 0 or inf leaves an axis
// unbounded. None: no box.
struct BoxTag {
    static constexpr Json annotation() { return optional_annotation(number_or_numbers()); }
};
using BoxArg = In<BoxTag>;

constexpr const char* kBoxArg = "argument 'boxsize':";

spatial::Periods read_box(PyObject* o) {
    spatial::Periods box;
    if (o == nullptr || o == Py_None) return box;
    double L[3];
    if (is_one_number(o)) {
        L[0] = L[1] = L[2] = read_double(o, kBoxArg);
    } else {
        read_flat(o, L, 3, kBoxArg);
    }
    for (unsigned a = 0; a < 3; ++a) {
        if (!(L[a] >= 0)) value_error("boxsize must hold periods >= 0 (0 or inf: that axis is not periodic)");
        box.L[a] = L[a] == HUGE_VAL ? 0.0 : L[a];
    }
    return box;
}

[[noreturn, gnu::cold]] void outside_box(const spatial::OutsideBox& e, const spatial::Periods& box) {
    PyObject* v = PyFloat_FromDouble(e.value);
    PyObject* L = PyFloat_FromDouble(box.L[e.axis]);
    if (v != nullptr && L != nullptr) {
        PyErr_Format(PyExc_ValueError,
                     "points[%zu] lies outside the periodic box: its coordinate %u is %R, not in [0, %R)", e.index,
                     e.axis, v, L);
    }
    Py_XDECREF(v);
    Py_XDECREF(L);
    throw_pyerr();
}

SpatialIndex make_index(Rows points, Opt<BoxArg, "None"> box_arg) {
    const spatial::Periods box = read_box(box_arg.value.o);
    PointsArg p;
    p.read(points.o, false);
    SpatialIndex index;
    try {
        maybe_detached(p.count >= kReleaseFrom * 16, [&] { index = SpatialIndex(p.data, p.count, &lent_runner, box); });
    } catch (const spatial::OutsideBox& e) {
        outside_box(e, box);
    }
    return index;
}

// None, or the three periods (0.0 along an axis that is not periodic).
Object get_boxsize(const SpatialIndex& s) {
    if (!s.periods().any()) return Object{Py_NewRef(Py_None)};
    const double* L = s.periods().L;
    PyObject* t = Py_BuildValue("(ddd)", L[0], L[1], L[2]);
    if (t == nullptr) throw_pyerr();
    return Object{t};
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

Object query(const SpatialIndex& s, Rows points, Opt<std::size_t, "1"> k_arg, Opt<double, "math.inf"> upper_arg) {
    const std::size_t k = k_arg;
    if (k == 0) value_error("k must be at least 1");
    const double upper = upper_arg;
    if (!(upper >= 0)) value_error("distance_upper_bound must be a number >= 0");
    const double limit = spatial::below_limit(upper);
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
        const std::size_t found = s.nearest(p.one, k, hits.data(), limit);
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
    NewArray idx({p.count, k}, "intp"), dist({p.count, k}, "float64");
    auto* ip = idx.data<std::ptrdiff_t>();
    auto* dp = dist.data<double>();
    maybe_detached(p.count >= kReleaseFrom, [&] { s.nearest_many(p.data, p.count, k, ip, dp, limit); });
    PyObject* i = idx.release();
    return Object{pair(i, dist.release())};
}

// The lists of a within_many answer, one a query.
PyObject* lists_of(const std::vector<std::ptrdiff_t>& idx, const std::vector<std::size_t>& off, std::size_t m) {
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(m));
    if (out == nullptr) throw_pyerr();
    for (std::size_t i = 0; i < m; ++i) {
        PyObject* l;
        try {
            l = int_list(idx.data() + off[i], off[i + 1] - off[i]);
        } catch (...) {
            Py_DECREF(out);
            throw;
        }
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), l);
    }
    return out;
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
    return Object{lists_of(idx, off, p.count)};
}

Object count_radius(const SpatialIndex& s, Rows points, double r) {
    check_radius(r);
    PointsArg p;
    p.read(points.o, true);
    if (p.single) return Object{PyLong_FromSize_t(s.count_within(p.one, r))};
    NewArray counts({p.count}, "intp");
    auto* cp = counts.data<std::ptrdiff_t>();
    maybe_detached(p.count >= kReleaseFrom, [&] { s.count_within_many(p.data, p.count, r, cp); });
    return Object{counts.release()};
}

void same_box(const SpatialIndex& a, const SpatialIndex& b) {
    if (!(a.periods() == b.periods())) value_error("the two indexes must have the same periodic box (boxsize)");
}

Object query_pairs(const SpatialIndex& s, double r) {
    check_radius(r);
    std::vector<std::ptrdiff_t> pairs;
    maybe_detached(s.size() >= kReleaseFrom, [&] { s.pairs_within(r, pairs); });
    NewArray out({pairs.size() / 2, 2}, "intp");
    std::copy(pairs.begin(), pairs.end(), out.data<std::ptrdiff_t>());
    return Object{out.release()};
}

Object query_ball_tree(const SpatialIndex& s, const SpatialIndex& other, double r) {
    check_radius(r);
    same_box(s, other);
    std::vector<Vec3d> mine(s.size());
    s.copy_points(mine.data());
    std::vector<std::ptrdiff_t> idx;
    std::vector<double> dist;
    std::vector<std::size_t> off;
    maybe_detached(mine.size() >= kReleaseFrom,
                   [&] { other.within_many(mine.data(), mine.size(), r, idx, dist, off); });
    return Object{lists_of(idx, off, mine.size())};
}

constexpr const char* kRadiiArg = "argument 'r':";

// r: a number or a sequence (or 1-D array) of them.
struct RadiiTag {
    static constexpr Json annotation() { return number_or_numbers(); }
};
using RadiiArg = In<RadiiTag>;

Object count_neighbors(const SpatialIndex& s, const SpatialIndex& other, RadiiArg r_arg,
                       Opt<bool, "True"> cumulative_arg) {
    same_box(s, other);
    const bool cumulative = cumulative_arg;
    const bool one = is_one_number(r_arg.o);
    std::vector<double> radii;
    if (one) {
        radii.push_back(read_double(r_arg.o, kRadiiArg));
    } else if (!read_numbers(r_arg.o, radii, kAnyCount, kRadiiArg)) {
        throw_pyerr();
    }
    for (std::size_t t = 0; t < radii.size(); ++t) {
        check_radius(radii[t]);
        if (!cumulative && t > 0 && radii[t] < radii[t - 1])
            value_error("r must be increasing when cumulative is False (the edges of the bins)");
    }
    std::vector<std::uint64_t> counts(radii.size());
    maybe_detached(std::min(s.size(), other.size()) >= kReleaseFrom,
                   [&] { s.count_pairs(other, radii.data(), radii.size(), counts.data()); });
    if (!cumulative)
        for (std::size_t t = radii.size(); t-- > 1;) counts[t] -= counts[t - 1];
    if (one) return Object{PyLong_FromUnsignedLongLong(counts[0])};
    NewArray out({radii.size()}, "intp");
    auto* o = out.data<std::ptrdiff_t>();
    for (std::size_t t = 0; t < radii.size(); ++t) o[t] = static_cast<std::ptrdiff_t>(counts[t]);
    return Object{out.release()};
}

using Doc = Documented<kProse>;

// clang-format off
using SpatialIndexClass = ClassTable<SpatialIndex,
    // Construction
    Doc::Ctor<make_index, "points", "boxsize">,
    // Properties
    Doc::Property<"points", get_points>,
    Doc::Property<"nbytes", get_nbytes>,
    Doc::Property<"boxsize", get_boxsize>,
    // Queries
    Doc::Method<"query",           query,           "points", "k", "distance_upper_bound">,
    Doc::Method<"query_radius",    query_radius,    "points", "r">,
    Doc::Method<"count_radius",    count_radius,    "points", "r">,
    Doc::Method<"query_pairs",     query_pairs,     "r">,
    // Between two indexes
    Doc::Method<"query_ball_tree", query_ball_tree, "other", "r">,
    Doc::Method<"count_neighbors", count_neighbors, "other", "r", "cumulative">,
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

PyTypeObject* Bound<spatial::SpatialIndex>::create() {
    // query's default distance_upper_bound is written math.inf in its text signature, which
    // inspect.signature evaluates among the imported modules: make sure `math` is one of them.
    PyObject* math = PyImport_ImportModule("math");
    if (math == nullptr) return nullptr;
    Py_DECREF(math);
    return ext::SpatialIndexClass::create();
}

}  // namespace ostrilo
