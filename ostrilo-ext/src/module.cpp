// The module ostrilo_ext: its members in registration order. A new function is one line in the
// table below (its name, core function and parameter names; a parameter of type Opt<T, "text">
// may be left out) and one entry in docs/api/ostrilo_ext.toml, whose prose the build puts after
// the text signature (a function without an entry there does not compile). A new concern is a
// new source file beside this one.
#include "accurate.hpp"
#include "batch.hpp"
#include "ostrilo_ext_prose.hpp"
#include "quat_list.hpp"
#include "rotations.hpp"
#include "shared.hpp"
#include "spatial.hpp"
#include "tolerant_geometry.hpp"

namespace ostrilo::ext {
namespace {

using Doc = Documented<kProse>;

// clang-format off
using Root = Doc::Module<"ostrilo_ext", "ostrilo_ext",
    Step<import_shared>,
    // Rotations (rotations.cpp, euler.cpp)
    Doc::Function<"compose",          compose,          "first", "second">,
    Doc::Function<"hamilton_product", hamilton_product, "a", "b">,
    Doc::Function<"inverse",          inverse,          "q">,
    Doc::Function<"slerp",            slerp,            "a", "b", "t">,
    Doc::Function<"from_matrix",      from_matrix,      "m">,
    Doc::Function<"from_two_vectors", from_two_vectors, "a", "b">,
    Doc::Function<"from_euler",       from_euler,       "seq", "angles", "degrees">,
    Doc::Function<"to_euler",         to_euler,         "q", "seq", "degrees">,
    // Hand-offs to the common quaternion orders
    Doc::Function<"to_xyzw",          to_xyzw,          "q">,
    Doc::Function<"from_xyzw",        from_xyzw,        "components">,
    Doc::Function<"to_wxyz",          to_wxyz,          "q">,
    Doc::Function<"from_wxyz",        from_wxyz,        "components">,
    // Accurate angles (accurate.cpp)
    Doc::Function<"axis_angle",       axis_angle,       "q">,
    Doc::Function<"angle_between",    angle_between,    "a", "b">,
    // Tolerant geometry (tolerant_geometry.cpp)
    Doc::Function<"contains_point",   contains_point,   "plane", "point", "rel_tol", "abs_tol">,
    Doc::Function<"in_same_plane",    in_same_plane,    "circle1", "circle2", "rel_tol", "abs_tol">,
    Doc::Function<"circle_point",     circle_point,     "circle", "point", "inner", "rel_tol", "abs_tol">,
    Doc::Function<"circle_circle",    circle_circle,    "circle1", "circle2", "rel_tol", "abs_tol">,
    Doc::Function<"plane_line",       plane_line,       "plane", "a", "b", "rel_tol", "abs_tol">,
    // Batch work on the worker pool (batch.cpp)
    Doc::Function<"rotate_each",      rotate_each,      "vectors", "rotations">,
    // Many rotations (quat_list.cpp, quat_list_across.cpp)
    Doc::Function<"align_vectors",    align_vectors,    "a", "b", "weights">,
    Class<QuatList>,
    Class<KeySlerp>,
    // The exact spatial index (spatial.cpp, spatial_index.cpp)
    Class<spatial::SpatialIndex>>;
// clang-format on

}  // namespace
}  // namespace ostrilo::ext

// PyMODINIT_FUNC exports the entry point: default visibility on ELF and Mach-O, dllexport on PE.
PyMODINIT_FUNC PyInit_ostrilo_ext() { return ostrilo::ext::Root::init(); }
