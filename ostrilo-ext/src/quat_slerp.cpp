// Slerp (quat_list.hpp): spherical interpolation through many key rotations at given times, as
// scipy's Slerp, called at one time or many. Each result is slerp(key k, key k + 1, u) with
// u = (t - t_k) / (t_k+1 - t_k): the same bits as that call of ostrilo_ext.slerp.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "ostrilo_ext_prose.hpp"
#include "quat_list.hpp"
#include "rotations.hpp"

namespace ostrilo {

using drevan::Quat;

namespace ext {
namespace {

// The keys are checked when the interpolator is made (finite, increasing times; rotations of a
// finite, nonzero length), so that a call fails only for its own times.
KeySlerp make_slerp(Floats times_o, const QuatList& rotations) {
    KeySlerp s;
    if (!read_numbers(times_o.o, s.times, kAnyCount, "argument 'times':")) throw_pyerr();
    const std::size_t n = s.times.size();
    if (rotations.items.size() != n) {
        PyErr_Format(PyExc_ValueError, "Slerp(): %zu times but %zu rotations", n, rotations.items.size());
        throw_pyerr();
    }
    if (n < 2) value_error("Slerp(): at least two key rotations are needed");
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(s.times[k])) value_error("Slerp(): the times must be finite");
        if (k > 0 && !(s.times[k] > s.times[k - 1])) value_error("Slerp(): the times must increase strictly");
        const Quat& q = rotations.items[k];
        const double len = std::sqrt(((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k);
        if (!(len > 0.0) || !std::isfinite(len))
            value_error("Slerp(): the rotations must have a finite, nonzero length");
    }
    s.keys = QuatArray(rotations.items.begin(), rotations.items.end());
    return s;
}

// The rotation at time t (within the keys' times, which the caller has checked).
Quat at(const KeySlerp& s, double t) noexcept {
    const std::size_t n = s.times.size();
    const auto above = static_cast<std::size_t>(std::upper_bound(s.times.begin(), s.times.end(), t) - s.times.begin());
    const std::size_t k = std::min(above == 0 ? 0 : above - 1, n - 2);
    const double u = (t - s.times[k]) / (s.times[k + 1] - s.times[k]);
    Quat out{};
    core::slerp(s.keys[k], s.keys[k + 1], u, out);  // cannot fail: the keys were checked
    return out;
}

void check_time(const KeySlerp& s, double t) {
    if (!(t >= s.times.front() && t <= s.times.back())) {
        char text[160];
        std::snprintf(text, sizeof text, "Slerp(): the time %.17g is outside the keys' times [%.17g, %.17g]", t,
                      s.times.front(), s.times.back());
        PyErr_SetString(PyExc_ValueError, text);
        throw_pyerr();
    }
}

Object call(const KeySlerp& s, Floats times) {
    if (is_one_number(times.o)) {
        const double t = read_double(times.o, "argument 'times':");
        check_time(s, t);
        return Object{to_py(at(s, t))};
    }
    std::vector<double> ts;
    if (!read_numbers(times.o, ts, kAnyCount, "argument 'times':")) throw_pyerr();
    for (double t : ts) check_time(s, t);
    QuatList out{QuatArray(ts.size())};
    Quat* dst = out.items.data();
    const double* src = ts.data();
    const KeySlerp* ps = &s;
    for_blocks(
        ts.size(),
        [=](std::size_t b, std::size_t e) noexcept {
            for (std::size_t i = b; i < e; ++i) dst[i] = canonical(at(*ps, src[i]));
        },
        512);
    return Object{to_py(std::move(out))};
}

std::vector<double> get_times(const KeySlerp& s) { return s.times; }
QuatList get_rotations(const KeySlerp& s) { return QuatList{QuatArray(s.keys.begin(), s.keys.end())}; }

std::string repr(const KeySlerp& s) { return "Slerp(<" + std::to_string(s.times.size()) + " keys>)"; }

// The call slot: one parameter, `times`, parsed like every other entry's.
PyObject* call_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
    using D = Desc<"__call__", KeySlerp, "times">;
    PyObject* slots[2];
    if (!parse_tuple(D::get(), 1, args, kwargs, slots)) return nullptr;
    Shared<KeySlerp> recv;
    if (!recv.acquire_receiver(self)) return nullptr;
    return finish_call([&] { return call(recv.get(), Floats{slots[0]}); });
}

// __call__, announced in the records like a method with the parameter `times`.
struct Callable {
    static constexpr std::size_t record_count = 1;
    template <class T>
    static void add(ClassParts& c) {
        c.slots.push_back({Py_tp_call, reinterpret_cast<void*>(&call_slot)});
    }
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        add_method_record(out, name_of<T>, "__call__", "self", parameters_json<std::tuple<Floats>>(one_name("times")),
                          Caster<Object>::annotation());
    }
};

using Doc = Documented<kProse>;

// clang-format off
using SlerpClass = ClassTable<KeySlerp,
    // Construction
    Doc::Ctor<make_slerp, "times", "rotations">,
    // Properties
    Doc::Property<"times",     get_times>,
    Doc::Property<"rotations", get_rotations>,
    // Pickling
    Pickled<"slerp", "times", "rotations">,
    // Protocol slots
    Callable,
    Repr<repr>,
    CompareByIdentity,
    Unhashable>;
// clang-format on

}  // namespace
}  // namespace ext

PyTypeObject* Bound<ext::KeySlerp>::create() { return ext::SlerpClass::create(); }

}  // namespace ostrilo
