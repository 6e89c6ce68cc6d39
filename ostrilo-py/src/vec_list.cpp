// The Python classes VecList and VecListIterator: the container and its class tables. A list owns
// one contiguous array of core vectors (vec_array.hpp); its elements come in through
// vec_list_input.cpp, its element-wise operations are vec_list_batch.cpp's, its nearest search
// nearest.cpp's, and its buffer views buffers.cpp's.
#include "vec_list.hpp"

#include <array>
#include <cstring>
#include <string>

#include "buffers.hpp"
#include "frame/class_table.hpp"
#include "nearest.hpp"
#include "py_lists.hpp"
#include "quat.hpp"
#include "vec3d.hpp"
#include "vec_list_batch.hpp"
#include "vec_list_input.hpp"
#include "worker_pool.hpp"

namespace ostrilo {

using drevan::Vec3d;

namespace {

// The next element of an iterator, or none (null without an error: the end of the iteration).
struct NextVec {
    PyObject* item;
};

}  // namespace

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
// The classes

using namespace batch;

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
    Slot<Py_bf_releasebuffer, vec_list_releasebuffer>,
    // The elements as one block of bytes (or, from protocol 5, a buffer over the list's own array):
    // the helper's _reduce_vec_list.
    Pickled<"vec_list">>;

using VecListIteratorClass =
    ClassTable<VecListIterator, Special<Py_tp_iter, "__iter__", iterator_self, VecListIterator>,
               Special<Py_tp_iternext, "__next__", unary<next_item>, NextVec>>;

}  // namespace

PyTypeObject* Bound<VecList>::create() { return VecListClass::create(); }
PyTypeObject* Bound<VecListIterator>::create() { return VecListIteratorClass::create(); }

}  // namespace ostrilo
