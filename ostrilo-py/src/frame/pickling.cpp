// Registering the classes' pickling with the helper module (see pickling.hpp).
#include "frame/pickling.hpp"

namespace ostrilo {
namespace {

constexpr const char* kHelper = "_ostrilo_py_pickle";

// The helper module, or null: with an error set when importing it failed, without one when it
// is not installed at all.
PyObject* import_helper() {
    PyObject* helper = PyImport_ImportModule(kHelper);
    if (helper != nullptr || !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return helper;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* name = value ? PyObject_GetAttrString(value, "name") : nullptr;
    const bool helper_missing = name && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, kHelper) == 0;
    Py_XDECREF(name);
    if (helper_missing) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        PyErr_Clear();
        return nullptr;
    }
    PyErr_Restore(type, value, tb);
    return nullptr;
}

// (class, reconstructor, (field, ...) or None, by constructor) for one class; a new reference or
// null.
PyObject* table_row(const PickledClass& c) {
    PyObject* fields;
    if (c.spec->has_fields) {
        std::size_t n = 0;
        while (c.spec->fields[n] != nullptr) ++n;
        fields = PyTuple_New(static_cast<Py_ssize_t>(n));
        for (std::size_t i = 0; fields != nullptr && i < n; ++i) {
            PyObject* f = PyUnicode_FromString(c.spec->fields[i]);
            if (f == nullptr) {
                Py_CLEAR(fields);
                break;
            }
            PyTuple_SET_ITEM(fields, static_cast<Py_ssize_t>(i), f);
        }
    } else {
        fields = Py_NewRef(Py_None);
    }
    if (fields == nullptr) return nullptr;
    PyObject* row = Py_BuildValue("(OsNO)", reinterpret_cast<PyObject*>(c.type), c.spec->reconstructor, fields,
                                  c.spec->by_constructor ? Py_True : Py_False);
    return row;
}

}  // namespace

bool register_pickling(PyObject* module, const std::vector<PickledClass>& classes) {
    PyObject* helper = import_helper();
    if (helper == nullptr) return !PyErr_Occurred();
    PyObject* table = PyTuple_New(static_cast<Py_ssize_t>(classes.size()));
    for (std::size_t i = 0; table != nullptr && i < classes.size(); ++i) {
        PyObject* row = table_row(classes[i]);
        if (row == nullptr) {
            Py_CLEAR(table);
            break;
        }
        PyTuple_SET_ITEM(table, static_cast<Py_ssize_t>(i), row);
    }
    PyObject* done = table ? PyObject_CallMethod(helper, "register", "OO", module, table) : nullptr;
    Py_XDECREF(table);
    Py_DECREF(helper);
    Py_XDECREF(done);
    return done != nullptr;
}

}  // namespace ostrilo
