// A program that embeds Python and runs three interpreter runtimes one after another in the same
// process, importing ostrilo_py and using every class in each (as applications that restart
// their interpreter do). Every round must get working, fresh objects: the class objects, the
// submodule, the panic type and the interned names of the previous runtime died with it.
//
//     embed_rounds DIR [ROUNDS]   DIR holds ostrilo_py and its pickle helper
// Exit status 0 when every round passed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Uses every class: Vec3d, the angles, Quat, VecList and its iterator, Plane, Circle, the
// intersection functions, pickling and copying (the helper module), keyword arguments (interned
// names), the panic exception, and a re-import within the round (the same class objects).
const char* const kRound = R"py(
import copy, pickle, sys
sys.path.insert(0, DIR)
import ostrilo_py as m
from ostrilo_py import geometry as g
V = m.Vec3d
v, w = V(1, 2, 3), V(4, 5, 6)
assert v + w == V(5, 7, 9) and v.dot(other=w) == 32.0 and repr(v * 2) == "Vec3d(2, 4, 6)"
half = m.AngleDegrees(90).to_radians()
assert half == m.AngleRadians.half_pi() and m.AngleRadians(angle=0.5).sin() > 0.47
q = m.Quat.from_axis_angle(V(0, 0, 1), half)
turned = q.rotate(V(1, 0, 0))
assert abs(turned.x) < 1e-15 and turned.y == 1.0
vl = m.VecList([v, w])
assert len(vl) == 2 and vl.dot(V(1, 1, 1)) == [6.0, 15.0] and [e for e in vl] == [v, w]
vl.rotate(q)
index, distance = vl.minimum_distance_to(other=V(-2, 1, 3), stride=1)
assert index == 0 and distance < 1e-15
plane, circle = g.Plane(V(0, 0, 2), 5.0), g.Circle(V(0, 0, 0), 5.0, V(0, 0, 1))
assert g.plane_line(plane, V(1, 2, 0), V(1, 2, 1)) == V(1, 2, 5)
assert g.circle_circle(circle, g.Circle(V(8, 0, 0), 5.0, V(0, 0, 1))) == (V(4, -3, 0), V(4, 3, 0))
assert g.circle_point(circle, V(10, 0, 0), False) is False
for o in (v, half, m.AngleDegrees(30), q, plane, circle, vl):
    for back in (pickle.loads(pickle.dumps(o)), copy.copy(o), copy.deepcopy(o)):
        assert type(back) is type(o) and pickle.dumps(back) == pickle.dumps(o), (o, back)
try:
    vl.collapse(3)
    raise AssertionError("collapse(3) did not fail")
except BaseException as e:
    assert type(e).__name__ == "PanicException" and str(e) == "assertion failed: axis <= 2", e
try:  # the companion, where it is built: the classes it takes are this runtime's
    import ostrilo_ext as x
except ImportError:
    x = None
if x is not None:
    assert type(x.compose(q, q)) is m.Quat and x.inverse(q).rotate(turned) == V(1, 0, 0)
    assert list(x.rotate_each(m.VecList([V(1, 0, 0)] * 3), [q, q, q])) == [turned] * 3
del sys.modules["ostrilo_py"]
import ostrilo_py as again
assert again is not m and again.Vec3d is m.Vec3d and again.geometry is m.geometry
print("round", ROUND, "ok", flush=True)
)py";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    for (int round = 0; round < rounds; ++round) {
        Py_Initialize();
        PyObject* globals = PyDict_New();
        PyObject* dir = PyUnicode_DecodeFSDefault(argv[1]);
        PyObject* number = PyLong_FromLong(round);
        bool ok = globals && dir && number && PyDict_SetItemString(globals, "DIR", dir) == 0 &&
                  PyDict_SetItemString(globals, "ROUND", number) == 0 &&
                  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0;
        PyObject* result = ok ? PyRun_String(kRound, Py_file_input, globals, globals) : nullptr;
        if (result == nullptr) {
            ok = false;
            if (PyErr_Occurred()) PyErr_Print();
        }
        Py_XDECREF(result);
        Py_XDECREF(number);
        Py_XDECREF(dir);
        Py_XDECREF(globals);
        if (Py_FinalizeEx() < 0) ok = false;
        if (!ok) {
            std::fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
    }
    return 0;
}
