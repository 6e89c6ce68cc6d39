// rotate_each (batch.hpp). The rotations are copied out of their Python objects on the calling
// thread first; the pool then only reads two arrays and fills a third, in blocks whose
// boundaries depend on the length alone, so the bits never depend on the thread count.
#include "batch.hpp"

#include <vector>

namespace ostrilo::ext {

using drevan::Quat;
using drevan::Vec3d;

namespace {

// A sequence whose first item is a Quat (a sequence of rows otherwise).
bool rows_of_quats(PyObject* o) {
    PyObject* first = PySequence_GetItem(o, 0);
    if (first == nullptr) {
        PyErr_Clear();
        return true;
    }
    const bool quat = is_instance<Quat>(first);
    Py_DECREF(first);
    return quat;
}

std::vector<Quat> read_rotations(PyObject* o) {
    std::vector<Quat> out;
    if (!PyObject_CheckBuffer(o) && !(is_batch(o) && !rows_of_quats(o))) {
        PyObject* seq = PySequence_Fast(o, "argument 'rotations': must be a sequence of Quat or an (n, 4) array");
        if (seq == nullptr) throw_pyerr();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t k = 0; k < n; ++k) {
            Shared<Quat> item;
            if (!item.acquire(PySequence_Fast_GET_ITEM(seq, k))) {
                Py_DECREF(seq);
                add_argument_prefix("rotations");
                throw_pyerr();
            }
            out.push_back(item.get());
        }
        Py_DECREF(seq);
        return out;
    }
    const std::vector<double> rows = read_rows(o, 4, "argument 'rotations':");
    out.reserve(rows.size() / 4);
    for (std::size_t r = 0; r < rows.size(); r += 4) out.push_back(Quat{rows[r], rows[r + 1], rows[r + 2], rows[r + 3]});
    return out;
}

}  // namespace

VecList rotate_each(const VecList& vectors, Object rotations) {
    const std::vector<Quat> q = read_rotations(rotations.o);
    const std::size_t n = vectors.items.size();
    if (q.size() != n) {
        PyErr_Format(PyExc_ValueError, "rotate_each(): %zu vectors but %zu rotations", n, q.size());
        throw_pyerr();
    }
    VecList out;
    out.items.resize(n);  // left uninitialised by the allocator; every element is written below
    const Vec3d* in = vectors.items.data();
    const Quat* rot = q.data();
    Vec3d* dst = out.items.data();
    for_blocks(
        n,
        [=](std::size_t b, std::size_t e) noexcept {
            for (std::size_t i = b; i < e; ++i) dst[i] = rot[i].rotate(in[i]);
        },
        4096);
    return out;
}

}  // namespace ostrilo::ext
