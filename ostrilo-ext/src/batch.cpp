// rotate_each (batch.hpp). Rotations given as Quat objects or nested sequences are copied out on
// the calling thread first; rows in a buffer (a NumPy array) are read where they are, by the
// pool, while the buffer is held. The pool fills the new list in blocks whose boundaries depend on the length
// alone, and each element is computed on its own, so the bits never depend on the thread count.
#include "batch.hpp"

#include <cstring>
#include <type_traits>
#include <vector>

namespace ostrilo::ext {

using drevan::Quat;
using drevan::Vec3d;

namespace {

constexpr const char* kWhat = "argument 'rotations':";

// Quat objects, copied out of them one by one under a momentary shared borrow.
bool read_quats(Items& items, std::vector<Quat>& out) {
    out.reserve(static_cast<std::size_t>(items.size()));
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        PyObject* o = items.hold(k, kWhat);
        if (o == nullptr) return false;
        bool ok;
        {
            Shared<Quat> item;  // released before the item is given back
            ok = item.acquire(o);
            if (ok) out.push_back(item.get());
        }
        Items::drop(o);
        if (!ok) {
            add_argument_prefix("rotations");
            return false;
        }
    }
    return items.finish(kWhat);
}

// The rotations as Quat values of our own, from a sequence of Quat or of rows of four numbers
// (as its first item says).
std::vector<Quat> read_sequence(PyObject* o) {
    Items items;
    const int opened = items.open(o);
    if (opened < 0) throw_pyerr();
    if (opened == 0) {
        PyErr_SetString(PyExc_TypeError, "argument 'rotations': must be a sequence of Quat or an (n, 4) array");
        throw_pyerr();
    }
    bool quats = true;
    if (items.size() > 0) {
        PyObject* first = items.hold(0, kWhat);
        if (first == nullptr) throw_pyerr();
        // Rows of numbers are sequences; anything else is taken for a Quat (and refused as one).
        quats = is_instance<Quat>(first) || !PySequence_Check(first) || PyUnicode_Check(first) || PyBytes_Check(first);
        Items::drop(first);
    }
    std::vector<Quat> out;
    if (quats) {
        if (!read_quats(items, out)) throw_pyerr();
        return out;
    }
    RowsIn rows;
    if (!rows.read_items(items, 4, kWhat, {})) throw_pyerr();
    out.resize(rows.count());
    if (rows.count() != 0) std::memcpy(static_cast<void*>(out.data()), rows.values(), rows.count() * sizeof(Quat));
    return out;
}

static_assert(sizeof(Quat) == 4 * sizeof(double) && alignof(Quat) == alignof(double) && std::is_standard_layout_v<Quat>,
              "a row of four doubles is a Quat");

[[noreturn, gnu::cold]] void length_mismatch(std::size_t n, std::size_t m) {
    PyErr_Format(PyExc_ValueError, "rotate_each(): %zu vectors but %zu rotations", n, m);
    throw_pyerr();
}

constexpr std::size_t kGrain = 4096;

}  // namespace

VecList rotate_each(const VecList& vectors, Quats rotations) {
    const std::size_t n = vectors.items.size();
    const Vec3d* in = vectors.items.data();
    VecList out;
    // An (n, 4) buffer is read where it lies (see frame/rows.hpp: each rotation is read by the
    // one element that uses it, for arithmetic only).
    RowsIn rows;
    const int lent = rows.read_buffer(rotations.o, 4, kWhat, {.in_place = true});
    if (lent < 0) throw_pyerr();
    std::vector<Quat> copied;
    const Quat* rot = nullptr;  // the rotations, when they lie as an array of Quat
    const StridedRows* strided = nullptr;
    if (lent > 0) {
        if (rows.count() != n) length_mismatch(n, rows.count());
        rot = reinterpret_cast<const Quat*>(rows.values());
        strided = rows.in_place();
    } else {
        copied = read_sequence(rotations.o);
        if (copied.size() != n) length_mismatch(n, copied.size());
        rot = copied.data();
    }
    out.items.resize(n);  // left uninitialised by the allocator; every element is written below
    Vec3d* dst = out.items.data();
    if (rot != nullptr) {
        for_blocks(
            n,
            [=](std::size_t b, std::size_t e) noexcept {
                for (std::size_t i = b; i < e; ++i) dst[i] = rot[i].rotate(in[i]);
            },
            kGrain);
    } else {  // strided or float32 rows: read in place
        for_blocks(
            n,
            [=](std::size_t b, std::size_t e) noexcept {
                for (std::size_t i = b; i < e; ++i) {
                    double c[4];
                    strided->row(i, c);
                    dst[i] = Quat{c[0], c[1], c[2], c[3]}.rotate(in[i]);
                }
            },
            kGrain);
    }
    return out;
}

}  // namespace ostrilo::ext
