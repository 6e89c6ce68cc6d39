// The Python classes VecList and VecListIterator. A list owns one contiguous array of core
// vectors; every element-wise operation hands the array to the worker pool, which writes each
// result at its element's index, and the calling thread turns the output into Python objects.
#include "vec_list.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "buffers.hpp"
#include "frame/class_table.hpp"
#include "quat.hpp"
#include "vec3d.hpp"
#include "worker_pool.hpp"

namespace ostrilo {

using drevan::Quat;
using drevan::Vec3d;

// ---------------------------------------------------------------------------------------------
// Array storage

void* allocate_array(std::size_t bytes) {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (bytes >= kHugePageThreshold) {
        static const std::uintptr_t page = [] {
            const long s = sysconf(_SC_PAGESIZE);
            return static_cast<std::uintptr_t>(s > 0 ? s : 4096);
        }();
        const auto first = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
        const auto last = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(page - 1);
        if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // a hint
    }
#endif
    return p;
}

void free_array(void* p) noexcept { std::free(p); }

namespace {

// Uninitialised scratch output of a job: n values of T, freed with the scope. Short lists use
// the stack, so that a batch operation on a handful of elements costs no allocation besides
// its result.
template <class T>
struct Scratch {
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr std::size_t kLocal = 256 / sizeof(T);
    T local[kLocal];
    T* data;
    explicit Scratch(std::size_t n) : data(n <= kLocal ? local : RawAllocator<T>().allocate(n)) {}
    ~Scratch() {
        if (data != local) free_array(data);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
};

// An uninitialised array of n vectors.
VecArray uninitialised(std::size_t n) {
    VecArray a;
    a.resize(n);  // default-initialised by RawAllocator: no writes
    return a;
}

VecArray copy_of(const VecArray& src) {
    VecArray a = uninitialised(src.size());
    if (!src.empty()) std::memcpy(a.data(), src.data(), src.size() * sizeof(Vec3d));
    return a;
}

// Fewest elements per block, by cost per element (see pool::Grain), measured in cache with the
// AVX2 loops: adding, scaling, dividing, a dot or cross product ~0.2-0.7 ns; a square root with
// divisions or a rotation ~1.5-2 ns.
constexpr pool::Grain kArithmetic = pool::kCheapWork;
constexpr pool::Grain kCostly{4096};

// ---------------------------------------------------------------------------------------------
// Building from a sequence

// The elements of a Python sequence of Vec3d, gathered by the argument conversion of `list`.
struct Gathered {
    VecArray items;
};

// A Python list of Item built by the caller: a new reference, or null with the error set.
template <class Item>
struct PyList {
    PyObject* list;
};
// The next element of an iterator, or none (null without an error: the end of the iteration).
struct NextVec {
    PyObject* item;
};

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

// The argument conversion of `list`.
bool gather(PyObject* o, Gathered& h) noexcept {
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
    if (const int taken = read_rows(o, h.items); taken != 0) return taken > 0;
    if (!PySequence_Check(o)) {
        raise_not_instance(o, "Sequence");
        return false;
    }
    return gather_iter(o, vec_type, h.items);
}

}  // namespace

template <>
struct Caster<Gathered> {
    using Holder = Gathered;
    static bool from(PyObject* o, Holder& h) noexcept { return gather(o, h); }
    static Gathered get(Holder& h) { return std::move(h); }
    static constexpr Json annotation() {
        return subscript_annotation(
            json_of(R"({"type":"attribute","value":{"type":"name","id":"collections.abc"},"attr":"Sequence"})"),
            Caster<Vec3d>::annotation());
    }
};
template <class Item>
struct Caster<PyList<Item>> {
    static PyObject* to_py(PyList<Item> l) { return l.list; }
    static constexpr Json annotation() { return list_annotation<Item>(); }
};
template <>
struct Caster<NextVec> {
    static PyObject* to_py(NextVec n) { return n.item; }
    static constexpr Json annotation() { return optional_annotation(Caster<Vec3d>::annotation()); }
};

namespace {

// The gathered array becomes the list's own; the pool starts with the first list built from a
// sequence, so that the first batch operation does not pay for it.
VecList make(Gathered g) {
    pool::ensure_started();
    return VecList{std::move(g.items)};
}

VecList empty() { return VecList{}; }

// ---------------------------------------------------------------------------------------------
// Results as Python objects, built on the calling thread.

PyList<double> float_list(const double* values, std::size_t n) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return {nullptr};
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* f = PyFloat_FromDouble(values[i]);
        if (f == nullptr) {
            Py_DECREF(list);
            return {nullptr};
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), f);
    }
    return {list};
}

PyList<bool> bool_list(const unsigned char* values, std::size_t n) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return {nullptr};
    for (std::size_t i = 0; i < n; ++i)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_NewRef(values[i] ? Py_True : Py_False));
    return {list};
}

PyList<Vec3d> vec_objects(const VecArray& items) {
    PyTypeObject* tp = class_object<Vec3d>.get();
    if (tp == nullptr) return {nullptr};
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list == nullptr) return {nullptr};
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* v = new_instance<Vec3d>(tp, items[i]);
        if (v == nullptr) {
            Py_DECREF(list);
            return {nullptr};
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), v);
    }
    return {list};
}

// ---------------------------------------------------------------------------------------------
// The container

PyList<Vec3d> get_list(const VecList& l) { return vec_objects(l.items); }

std::size_t length(const VecList& l) { return l.items.size(); }

Vec3d item(const VecList& l, std::size_t index) {
    if (index >= l.items.size()) {
        raise_index_out_of_bounds();
        throw_pyerr();
    }
    return l.items[index];
}

// Growth is geometric (the vector's own policy); a failed growth throws before anything
// changes, so the list is either extended or untouched.
void append(VecList& l, const Vec3d& v) { l.items.push_back(v); }

void extend(VecList& l, const VecList& other) { l.items.insert(l.items.end(), other.items.begin(), other.items.end()); }

VecListIterator iter(const VecList& l) { return VecListIterator{copy_of(l.items), 0}; }

PyObject* repr(const VecList& l) {
    const Vec3d* items = l.items.data();
    const std::string body =
        pool::join(l.items.size(), "\n", [items](std::size_t i, std::string& out) { items[i].append_repr(out); });
    // All ASCII: written straight into the str, no decoding pass.
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(body.size() + 2), 127);
    if (s == nullptr) return nullptr;
    char* d = static_cast<char*>(PyUnicode_DATA(s));
    d[0] = '[';
    std::memcpy(d + 1, body.data(), body.size());
    d[body.size() + 1] = ']';
    return s;
}

// The elements are already the triples, so there is nothing for the pool to compute; it is
// still started here, like by every other operation that reads the whole array.
//
// The rows are kept away from the cycle collector while they are built: each new list counts as
// an allocation towards a collection, and without this the collector would run every few
// hundred rows over all the rows made so far, which costs more than building them. Nothing else
// can see the rows before they are tracked again at the end.
PyList<std::array<double, 3>> to_array(const VecList& l) {
    pool::ensure_started();
    const std::size_t n = l.items.size();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return {nullptr};
    std::size_t built = 0;
    bool ok = true;
    for (; built < n; ++built) {
        const Vec3d& v = l.items[built];
        PyObject* row = PyList_New(3);
        if (row == nullptr) {
            ok = false;
            break;
        }
        PyObject_GC_UnTrack(row);
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(built), row);
        const double c[3] = {v.x, v.y, v.z};
        for (Py_ssize_t k = 0; k < 3 && ok; ++k) {
            PyObject* f = PyFloat_FromDouble(c[k]);
            if (f == nullptr) ok = false;
            PyList_SET_ITEM(row, k, f);  // a null item is fine in a list that is about to go
        }
        if (!ok) {
            ++built;
            break;
        }
    }
    for (std::size_t i = 0; i < built; ++i) PyObject_GC_Track(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)));
    if (!ok) {
        Py_DECREF(list);
        return {nullptr};
    }
    return {list};
}

// ---------------------------------------------------------------------------------------------
// The iterator

PyObject* iterator_self(PyObject* self) {
    Shared<VecListIterator> b;
    if (!b.acquire_receiver(self)) return nullptr;
    return Py_NewRef(self);
}

NextVec next_item(VecListIterator& it) {
    if (it.cursor >= it.items.size()) return {nullptr};
    PyObject* v = new_instance<Vec3d>(it.items[it.cursor]);
    if (v == nullptr) throw_pyerr();
    if (++it.cursor == it.items.size()) {
        VecArray().swap(it.items);  // used up: the snapshot is no longer needed
        it.cursor = 0;
    }
    return {v};
}

// ---------------------------------------------------------------------------------------------
// Batch operations. Each applies the core Vec3d (or Quat) function to every element on the
// pool; the output is allocated in full before the job starts.

// The loops of a job. On x86-64 each is compiled three times, for the baseline (SSE2), for AVX2
// and for AVX-512 (F, DQ, VL, with 512-bit vectors), and the widest one the processor has runs.
// IEEE additions, multiplications, divisions and square roots are correctly rounded whatever the
// vector width, the lanes hold different elements (never parts of one element's sum), and the
// build never contracts a product and a sum into one fused operation, so every variant gives the
// same bits; the wider ones just do four or eight elements per instruction where the baseline
// does two. Other processors (32-bit ARM among them) compile the loops once, as they are.
//
// OSTRILO_SIMD, read once, caps the choice: "baseline", "avx2" or "avx512" (anything else, or
// nothing, means the widest available). A variant the processor lacks is never run: asking for
// it gives the widest one below it. Tests use it to check the recorded results with each variant.
#if defined(__x86_64__) && defined(__GNUC__)
#define OSTRILO_LOOP_VARIANTS 1
enum class Loops { baseline, avx2, avx512 };

Loops loop_variant() {
    static const Loops chosen = [] {
        __builtin_cpu_init();
        Loops best = Loops::baseline;
        if (__builtin_cpu_supports("avx2")) best = Loops::avx2;
        if (best == Loops::avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
            __builtin_cpu_supports("avx512vl"))
            best = Loops::avx512;
        const char* want = std::getenv("OSTRILO_SIMD");
        Loops cap = Loops::avx512;
        if (want != nullptr && std::strcmp(want, "baseline") == 0) cap = Loops::baseline;
        if (want != nullptr && std::strcmp(want, "avx2") == 0) cap = Loops::avx2;
        return std::min(best, cap);
    }();
    return chosen;
}

template <class Body>
[[gnu::target("avx512f,avx512dq,avx512vl,prefer-vector-width=512")]] auto run_avx512(const Body& body, std::size_t b,
                                                                                     std::size_t e) {
    return body(b, e);
}
template <class Body>
[[gnu::target("avx2")]] auto run_avx2(const Body& body, std::size_t b, std::size_t e) {
    return body(b, e);
}
template <class Body>
auto run_base(const Body& body, std::size_t b, std::size_t e) {
    return body(b, e);
}

// The variant of body(b, e) for this processor. The body is inlined into each variant.
template <class Body>
auto loops_for() {
    switch (loop_variant()) {
        case Loops::avx512:
            return &run_avx512<Body>;
        case Loops::avx2:
            return &run_avx2<Body>;
        default:
            return &run_base<Body>;
    }
}
#endif

// body(b, e) over the blocks of [0, n) on the pool.
template <class Body>
void run_blocks(std::size_t n, const Body& body, pool::Grain grain) {
#ifdef OSTRILO_LOOP_VARIANTS
    auto* const run = loops_for<Body>();
    pool::for_blocks(n, [&body, run](std::size_t b, std::size_t e) { run(body, b, e); }, grain);
#else
    pool::for_blocks(n, body, grain);
#endif
}

// out[i] = f(in[i]) for every element; in and out do not overlap.
template <class F, class Out>
void map_job(const F& f, const Vec3d* in, Out* out, std::size_t n, pool::Grain grain) {
    run_blocks(
        n,
        [&f, in, out](std::size_t b, std::size_t e) __attribute__((always_inline)) {
            const F fn = f;  // a local copy of the operands: no store to the output can change them
            const Vec3d* __restrict src = in;
            Out* __restrict dst = out;
            for (std::size_t i = b; i < e; ++i) dst[i] = fn(src[i]);
        },
        grain);
}

// data[i] = f(data[i]) for every element.
template <class F>
void update_job(const F& f, Vec3d* data, std::size_t n, pool::Grain grain) {
    run_blocks(
        n,
        [&f, data](std::size_t b, std::size_t e) __attribute__((always_inline)) {
            const F fn = f;
            for (std::size_t i = b; i < e; ++i) data[i] = fn(data[i]);
        },
        grain);
}

template <class F>
VecList map_vectors(const VecList& l, F f, pool::Grain grain) {
    const std::size_t n = l.items.size();
    VecArray out = uninitialised(n);
    map_job(f, l.items.data(), out.data(), n, grain);
    return VecList{std::move(out)};
}

template <class F>
PyList<double> map_floats(const VecList& l, F f, pool::Grain grain) {
    const std::size_t n = l.items.size();
    Scratch<double> out(n);
    map_job(f, l.items.data(), out.data, n, grain);
    return float_list(out.data, n);
}

template <class F>
PyList<bool> map_bools(const VecList& l, F f, pool::Grain grain) {
    const std::size_t n = l.items.size();
    Scratch<unsigned char> out(n);
    map_job([f](const Vec3d& e) -> unsigned char { return f(e) ? 1 : 0; }, l.items.data(), out.data, n, grain);
    return bool_list(out.data, n);
}

VecList add(const VecList& l, const Vec3d& o) {
    return map_vectors(l, [o](const Vec3d& e) { return e + o; }, kArithmetic);
}
VecList sub(const VecList& l, const Vec3d& o) {
    return map_vectors(l, [o](const Vec3d& e) { return e - o; }, kArithmetic);
}
VecList mul(const VecList& l, double s) {
    return map_vectors(l, [s](const Vec3d& e) { return e * s; }, kArithmetic);
}
VecList rmul(const VecList& l, double s) {
    return map_vectors(l, [s](const Vec3d& e) { return s * e; }, kArithmetic);
}
VecList truediv(const VecList& l, double s) {
    return map_vectors(l, [s](const Vec3d& e) { return e / s; }, kArithmetic);
}

PyList<double> dot(const VecList& l, const Vec3d& o) {
    return map_floats(l, [o](const Vec3d& e) { return e.dot(o); }, kArithmetic);
}
VecList cross(const VecList& l, const Vec3d& o) {
    return map_vectors(l, [o](const Vec3d& e) { return e.cross(o); }, kArithmetic);
}
PyList<double> distance_to(const VecList& l, const Vec3d& o) {
    return map_floats(l, [o](const Vec3d& e) { return e.distance_to(o); }, kCostly);
}
PyList<double> distance_squared(const VecList& l, const Vec3d& o) {
    return map_floats(l, [o](const Vec3d& e) { return e.distance_squared(o); }, kArithmetic);
}
PyList<double> magnitude(const VecList& l) {
    return map_floats(l, [](const Vec3d& e) { return e.magnitude(); }, kCostly);
}
PyList<bool> is_unit(const VecList& l) {
    return map_bools(l, [](const Vec3d& e) { return e.is_unit(); }, kCostly);
}
VecList normalize(const VecList& l) {
    return map_vectors(l, [](const Vec3d& e) { return e.normalize(); }, kCostly);
}

template <std::size_t Axis>
VecList collapse_axis(const VecList& l) {
    return map_vectors(l, [](const Vec3d& e) { return e.collapse(Axis); }, kArithmetic);
}

VecList collapse(const VecList& l, std::size_t axis) {
    DREVAN_ASSERT(axis <= 2);  // before any work
    return axis == 0 ? collapse_axis<0>(l) : axis == 1 ? collapse_axis<1>(l) : collapse_axis<2>(l);
}

// Each element is replaced in place. The element function is plain arithmetic that cannot fail,
// and the list is held exclusively for the whole call, so no caller sees it half rotated; in
// place, the operation allocates nothing and touches each element's memory once.
void rotate(VecList& l, const Quat& q) {
    update_job([q](const Vec3d& e) noexcept { return q.rotate(e); }, l.items.data(), l.items.size(), kCostly);
}

// ---------------------------------------------------------------------------------------------
// Nearest-vector search

// Ranking key of a squared distance. A square and a sum of squares are never negative and never
// -0, so the sign bit is only ever set on a NaN, and there it only reflects the processor's
// default NaN (x86 sets it for inf - inf, ARM does not). Dropping it ranks every NaN above
// +inf on every platform; what remains orders as an unsigned integer exactly as the IEEE total
// order orders the values.
inline std::uint64_t rank_key(double d2) noexcept {
    return std::bit_cast<std::uint64_t>(d2) & 0x7fff'ffff'ffff'ffffULL;
}

struct Best {
    std::uint64_t key;
    std::size_t index;
};

// Right replaces left only when strictly nearer: the lower index wins ties.
inline Best nearer(Best left, Best right) noexcept { return right.key < left.key ? right : left; }

// The best of elements first + c * step for c in [b, e). The keys are computed a chunk at a time
// into a small array and the chunk's smallest key is found first: both loops have no branch and
// run vectorised. Only a chunk that holds a strictly nearer element is scanned again for the
// first index with that key, so the lowest index still wins ties.
template <std::size_t Step>
[[gnu::always_inline]] inline Best nearest_in_block(const Vec3d* items, const Vec3d& o, std::size_t first,
                                                    std::size_t step, std::size_t b, std::size_t e) {
    constexpr std::size_t kChunk = 256;
    const Vec3d target = o;
    const std::size_t stride = Step == 0 ? step : Step;
    Best best{~std::uint64_t{0}, first + b * stride};  // every key is below this: the first chunk wins
    for (std::size_t c = b; c < e; c += kChunk) {
        const std::size_t m = std::min(kChunk, e - c);
        const Vec3d* const base = items + first + c * stride;
        alignas(64) std::uint64_t keys[kChunk];
        for (std::size_t k = 0; k < m; ++k) keys[k] = rank_key(base[k * stride].distance_squared(target));
        // The keys have a clear sign bit, so their order as signed integers is their order.
        std::int64_t low = std::numeric_limits<std::int64_t>::max();
        for (std::size_t k = 0; k < m; ++k) low = std::min(low, static_cast<std::int64_t>(keys[k]));
        const auto key = static_cast<std::uint64_t>(low);
        if (key < best.key) {
            std::size_t k = 0;
            while (keys[k] != key) ++k;
            best = {key, first + (c + k) * stride};
        }
    }
    return best;
}

// The best of the elements first, first + step, ... (count of them), as a pool reduction.
std::optional<Best> nearest_of(const Vec3d* items, const Vec3d& o, std::size_t first, std::size_t step,
                               std::size_t count) {
    const auto search = [&](const auto& body) {
#ifdef OSTRILO_LOOP_VARIANTS
        auto* const run = loops_for<std::remove_cvref_t<decltype(body)>>();
        return pool::reduce<Best>(
            count, [&body, run](std::size_t b, std::size_t e) { return run(body, b, e); }, nearer, kArithmetic);
#else
        return pool::reduce<Best>(count, body, nearer, kArithmetic);
#endif
    };
    if (step == 1)
        return search([=](std::size_t b, std::size_t e)
                          __attribute__((always_inline)) { return nearest_in_block<1>(items, o, first, 1, b, e); });
    return search([=](std::size_t b, std::size_t e)
                      __attribute__((always_inline)) { return nearest_in_block<0>(items, o, first, step, b, e); });
}

std::pair<std::size_t, double> minimum_distance_to(const VecList& l, const Vec3d& o, std::size_t stride) {
    DREVAN_ASSERT(stride != 0);
    const std::size_t n = l.items.size();
    const Vec3d* items = l.items.data();
    // Coarse pass: every stride-th element from the first.
    const std::optional<Best> coarse = nearest_of(items, o, 0, stride, n == 0 ? 0 : (n - 1) / stride + 1);
    if (!coarse) DREVAN_PANIC("called `Option::unwrap()` on a `None` value");
    // Refinement: from the previous candidate up to (not including) the next one.
    const std::size_t i = coarse->index;
    const std::size_t lo = i >= stride ? i - stride : 0;
    const std::size_t hi = n - i > stride ? i + stride : n;
    const std::optional<Best> fine = nearest_of(items, o, lo, 1, hi - lo);
    return {fine->index, items[fine->index].distance_to(o)};
}

// ---------------------------------------------------------------------------------------------
// The classes

using VecListClass = ClassTable<
    VecList, Ctor<make, "list">, Item<item>, Static<"empty", empty>, Property<"list", get_list>,
    Method<"append", append, "vec">, Method<"extend", extend, "other">, Method<"to_array", to_array>,
    Method<"dot", dot, "other">, Method<"cross", cross, "other">, Method<"distance_to", distance_to, "other">,
    Method<"distance_squared", distance_squared, "other">, Method<"magnitude", magnitude>, Method<"is_unit", is_unit>,
    Method<"normalize", normalize>, Method<"collapse", collapse, "axis">, Method<"rotate", rotate, "quat">,
    Method<"minimum_distance_to", minimum_distance_to, "other", "stride">, Len<length>, Iter<iter>, Repr<repr>,
    Binary<Py_nb_add, Op<"__add__", add, "other">>, Binary<Py_nb_subtract, Op<"__sub__", sub, "other">>,
    Binary<Py_nb_multiply, Op<"__mul__", mul, "rhs">, Op<"__rmul__", rmul, "lhs">>,
    Binary<Py_nb_true_divide, Op<"__truediv__", truediv, "rhs">>, Slot<Py_bf_getbuffer, vec_list_getbuffer>,
    Slot<Py_bf_releasebuffer, vec_list_releasebuffer>, CompareByIdentity>;

using VecListIteratorClass =
    ClassTable<VecListIterator, Special<Py_tp_iter, "__iter__", iterator_self, VecListIterator>,
               Special<Py_tp_iternext, "__next__", unary<next_item>, NextVec>, CompareByIdentity>;

}  // namespace

PyTypeObject* Bound<VecList>::create() { return VecListClass::create(); }
PyTypeObject* Bound<VecListIterator>::create() { return VecListIteratorClass::create(); }

}  // namespace ostrilo
