// Class objects: created on first need from the parts a class table gathers.
#include "frame/class_table.hpp"

namespace ostrilo {

// Two threads may both find no class and both create one: the first to publish wins, the other
// drops its copy. A lock around a re-check here would make the creation exactly-once.
PyTypeObject* ClassObject::create_slow() noexcept {
    PyTypeObject* made = create();
    if (made == nullptr) return nullptr;
    PyTypeObject* expected = nullptr;
    if (!type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

PyTypeObject* create_class(ClassParts* s) {
    bool has_new = false;
    for (const PyType_Slot& slot : s->slots)
        if (slot.slot == Py_tp_new) has_new = true;
    s->methods.push_back({nullptr, nullptr, 0, nullptr});
    s->getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    s->slots.push_back({Py_tp_methods, s->methods.data()});
    s->slots.push_back({Py_tp_getset, s->getset.data()});
    if (s->doc) s->slots.push_back({Py_tp_doc, const_cast<char*>(s->doc)});
    s->slots.push_back({0, nullptr});
    auto* spec = new PyType_Spec{
        s->qualified_name, s->basicsize, 0,
        static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | (has_new ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION)),
        s->slots.data()};
    PyObject* t = PyType_FromSpec(spec);
    if (t == nullptr) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(t);
    if (s->vectorcall) tp->tp_vectorcall = s->vectorcall;
    return tp;
}

}  // namespace ostrilo
