#pragma once
// Reading elements in: the argument `list` of VecList(list), a sequence of Vec3d or a 2-D (n, 3)
// buffer of doubles or floats, gathered into an element array (vec_list_input.cpp).
#include "frame/class_table.hpp"
#include "vec3d.hpp"
#include "vec_array.hpp"

namespace ostrilo {

// The elements of a Python sequence of Vec3d or of an (n, 3) buffer, gathered by the argument
// conversion of `list`.
struct Gathered {
    VecArray items;
};

template <>
struct Caster<Gathered> {
    using Holder = Gathered;
    static bool from(PyObject* o, Holder& h) noexcept;
    static Gathered get(Holder& h) { return std::move(h); }
    static constexpr Json annotation() {
        return subscript_annotation(
            json_of(R"({"type":"attribute","value":{"type":"name","id":"collections.abc"},"attr":"Sequence"})"),
            Caster<drevan::Vec3d>::annotation());
    }
};

}  // namespace ostrilo
