// The module ostrilo_py and its submodule geometry: their members in registration order.
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

// Pickling and copying go through copyreg, with reducers from a helper module installed beside
// the extension. A build without the helper (a bare build tree) imports without them.
bool register_pickling(PyObject* module) {
    PyObject* helper = PyImport_ImportModule("_ostrilo_py_pickle");
    if (helper == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return false;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyObject* name = value ? PyObject_GetAttrString(value, "name") : nullptr;
        const bool helper_missing =
            name && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "_ostrilo_py_pickle") == 0;
        Py_XDECREF(name);
        if (helper_missing) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            PyErr_Clear();
            return true;
        }
        PyErr_Restore(type, value, tb);
        return false;
    }
    PyObject* done = PyObject_CallMethod(helper, "register", "O", module);
    Py_DECREF(helper);
    Py_XDECREF(done);
    return done != nullptr;
}

using Geometry =
    Module<"geometry", "ostrilo_py.geometry", Class<drevan::geometry::Circle>,
           Function<"circle_circle", circle_circle, "circle1", "circle2">,
           Function<"circle_point", circle_point, "circle", "point", "inner">,
           Function<"circle_point_unchecked", drevan::geometry::circle_point_unchecked, "circle", "point", "inner">,
           Function<"plane_line", drevan::geometry::plane_line, "plane", "a", "b">, Class<drevan::geometry::Plane>>;

using Root =
    Module<"ostrilo_py", "ostrilo_py", Class<drevan::AngleDegrees>, Class<drevan::AngleRadians>, Class<drevan::Quat>,
           Class<VecList>, Class<drevan::Vec3d>, Submodule<Geometry>, Step<register_pickling>,
           Step<publish_shared_api>>;

}  // namespace
}  // namespace ostrilo

extern "C" [[gnu::visibility("default")]] PyObject* PyInit_ostrilo_py() { return ostrilo::Root::init(); }
