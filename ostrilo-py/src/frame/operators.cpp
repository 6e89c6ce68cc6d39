// The out-of-line parts of the operator slots.
#include "frame/operators.hpp"

namespace ostrilo {

// `!=` as the negation of the full `==` (not PyObject_RichCompareBool, whose identity shortcut
// would make `x != x` False for a value that is not equal to itself).
PyObject* negated_equality(PyObject* self, PyObject* other) {
    PyObject* eq = PyObject_RichCompare(self, other, Py_EQ);
    if (eq == nullptr) return nullptr;
    const int truth = PyObject_IsTrue(eq);
    Py_DECREF(eq);
    if (truth < 0) return nullptr;
    return Py_NewRef(truth ? Py_False : Py_True);
}

}  // namespace ostrilo
