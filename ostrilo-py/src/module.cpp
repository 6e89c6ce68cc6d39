// The module ostrilo_py and its submodule geometry: their members in registration order. Their
// classes' pickling is registered from the class tables (frame/pickling.hpp).
#include "angle.hpp"
#include "frame/module_table.hpp"
#include "geometry/circle.hpp"
#include "geometry/intersection.hpp"
#include "geometry/plane.hpp"
#include "quat.hpp"
#include "shared_api.hpp"
#include "vec3d.hpp"
#include "vec_list.hpp"

namespace ostrilo {
namespace {

using Geometry =
    Module<"geometry", "ostrilo_py.geometry", Class<drevan::geometry::Circle>,
           Function<"circle_circle", circle_circle, "circle1", "circle2">,
           Function<"circle_point", circle_point, "circle", "point", "inner">,
           Function<"circle_point_unchecked", drevan::geometry::circle_point_unchecked, "circle", "point", "inner">,
           Function<"plane_line", drevan::geometry::plane_line, "plane", "a", "b">, Class<drevan::geometry::Plane>>;

using Root = Module<"ostrilo_py", "ostrilo_py", Class<drevan::AngleDegrees>, Class<drevan::AngleRadians>,
                    Class<drevan::Quat>, Class<VecList>, Class<drevan::Vec3d>, Submodule<Geometry>,
                    Unlisted<VecListIterator>, Step<publish_shared_api>>;

}  // namespace
}  // namespace ostrilo

// PyMODINIT_FUNC exports the entry point: default visibility on ELF and Mach-O, dllexport on PE.
PyMODINIT_FUNC PyInit_ostrilo_py() { return ostrilo::Root::init(); }
