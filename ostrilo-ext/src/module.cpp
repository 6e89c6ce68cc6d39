// The module ostrilo_ext: its members in registration order. A new function is one entry in the
// table below (entry.hpp: its name, core function, docstring and parameter names); a new concern
// is a new source file beside this one, with its docstrings in docs.hpp.
#include "accurate.hpp"
#include "batch.hpp"
#include "docs.hpp"
#include "rotations.hpp"
#include "shared.hpp"
#include "spatial.hpp"
#include "tolerant_geometry.hpp"

namespace ostrilo::ext {
namespace {

using Root =
    Module<"ostrilo_ext", "ostrilo_ext", Step<import_shared>,
           // Rotations (rotations.cpp, euler.cpp)
           Entry<"compose", compose, doc::compose, "first", "second">,
           Entry<"hamilton_product", hamilton_product, doc::hamilton_product, "a", "b">,
           Entry<"inverse", inverse, doc::inverse, "q">, Entry<"slerp", slerp, doc::slerp, "a", "b", "t">,
           Entry<"from_matrix", from_matrix, doc::from_matrix, "m">,
           Entry<"from_two_vectors", from_two_vectors, doc::from_two_vectors, "a", "b">,
           Entry<"from_euler", from_euler, doc::from_euler, "seq", "angles", "degrees">,
           Entry<"to_euler", to_euler, doc::to_euler, "q", "seq", "degrees">,
           Entry<"to_xyzw", to_xyzw, doc::to_xyzw, "q">, Entry<"from_xyzw", from_xyzw, doc::from_xyzw, "components">,
           Entry<"to_wxyz", to_wxyz, doc::to_wxyz, "q">, Entry<"from_wxyz", from_wxyz, doc::from_wxyz, "components">,
           // Accurate angles (accurate.cpp)
           Entry<"axis_angle", axis_angle, doc::axis_angle, "q">,
           Entry<"angle_between", angle_between, doc::angle_between, "a", "b">,
           // Tolerant geometry (tolerant_geometry.cpp)
           Entry<"contains_point", contains_point, doc::contains_point, "plane", "point", "rel_tol", "abs_tol">,
           Entry<"in_same_plane", in_same_plane, doc::in_same_plane, "circle1", "circle2", "rel_tol", "abs_tol">,
           Entry<"circle_point", circle_point, doc::circle_point, "circle", "point", "inner", "rel_tol", "abs_tol">,
           Entry<"circle_circle", circle_circle, doc::circle_circle, "circle1", "circle2", "rel_tol", "abs_tol">,
           Entry<"plane_line", plane_line, doc::plane_line, "plane", "a", "b", "rel_tol", "abs_tol">,
           // Batch work on the worker pool (batch.cpp)
           Entry<"rotate_each", rotate_each, doc::rotate_each, "vectors", "rotations">,
           // The exact spatial index (spatial.cpp, spatial_index.cpp)
           Class<spatial::SpatialIndex>, Step<register_spatial_pickle>>;

}  // namespace
}  // namespace ostrilo::ext

// PyMODINIT_FUNC exports the entry point: default visibility on ELF and Mach-O, dllexport on PE.
PyMODINIT_FUNC PyInit_ostrilo_ext() { return ostrilo::ext::Root::init(); }
