#pragma once
// How a class pickles, declared in its class table, and the one place where the pickle helper
// learns it.
//
// Pickling and copying go through copyreg, with reconstructors from a private helper module
// shipped beside the extension (_ostrilo_py_pickle.py, the one helper of every module built on
// this frame, ostrilo_ext's classes included): a class whose __module__ is "builtins" cannot be
// found by name. A class declares in its table the helper's reconstructor that rebuilds an
// instance and the attributes it takes, in order (dotted paths reach into values):
//     Pickled<"plane", "normal.x", "normal.y", "normal.z", "distance">
// or only the reconstructor's name, when the helper reduces instances itself (its
// _reduce_<name>):
//     Pickled<"vec_list">
// A class that its constructor rebuilds from float fields needs nothing in the helper:
//     PickledByConstructor<"vec3d", "x", "y", "z">
// When the top module has been filled, every class of its module table (submodules included)
// that declares pickling is registered with the helper, which fails the import when it lacks a
// reconstructor a table names; a class without a declaration is not picklable, which the test
// that round-trips every public class reports, naming the fix (add Pickled<...> to its table).
#include <atomic>
#include <cstddef>
#include <vector>

#include "frame/records.hpp"

namespace ostrilo {

struct PickleSpec {
    const char* reconstructor;
    const char* const* fields;  // null-terminated
    bool has_fields;            // false: the helper's _reduce_<reconstructor> reduces
    bool by_constructor;        // the class's constructor rebuilds it from the fields (floats)
};

// The pickling of T's class, set when the class object is created (by whichever thread creates
// it first; every thread sets the same value).
template <class T>
inline constinit std::atomic<const PickleSpec*> pickle_spec_of{nullptr};

struct PickledClass {
    PyTypeObject* type;
    const PickleSpec* spec;
};

// Hands the classes to the helper's register(module, table); a build without the helper beside
// it (a bare build tree) imports without pickling. False with an error set.
bool register_pickling(PyObject* module, const std::vector<PickledClass>& classes);

template <bool ByConstructor, fixed_string Reconstructor, fixed_string... Fields>
struct PickledEntry {
    static constexpr std::size_t record_count = 0;
    static constexpr const char* fields[] = {Fields.data..., nullptr};
    static constexpr PickleSpec spec{Reconstructor.data, fields, sizeof...(Fields) != 0, ByConstructor};
    template <class T>
    static void add(auto&) {
        pickle_spec_of<T>.store(&spec, std::memory_order_relaxed);
    }
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>&) {}
};

template <fixed_string Reconstructor, fixed_string... Fields>
using Pickled = PickledEntry<false, Reconstructor, Fields...>;
// A class whose constructor takes the fields, all floats, and stores them unchanged needs no
// reconstructor of its own: the helper rebuilds it as cls(*fields) under the name given.
template <fixed_string Reconstructor, fixed_string... Fields>
using PickledByConstructor = PickledEntry<true, Reconstructor, Fields...>;

}  // namespace ostrilo
