#pragma once
// Module tables. A module is one declaration: its members in registration order, which yields
// both its execution step (adding each member, and the names to __all__) and its records.
//
//     using Root = Module<"ostrilo_py", "ostrilo_py", Class<drevan::Vec3d>, Submodule<Geometry>>;
//     extern "C" PyObject* PyInit_ostrilo_py() { return Root::init(); }
//
// Every member provides add(PyObject* module), id<Module>() (its identifier in the module's
// record), pickled(std::vector<PickledClass>&) (its classes that declare pickling) and, like a
// class table entry, record_count and describe<Module>(RecordList&). Once the top module is
// filled, the classes of the whole table are registered with the pickle helper.
#include "frame/class_table.hpp"

namespace ostrilo {

// Appends name to the module's __all__ (creating it when missing) and sets the attribute.
bool add_to_module(PyObject* module, const char* name, PyObject* value);
bool add_class(PyObject* module, ClassObject& object);
// A built-in function bound to the module, added under its name.
bool add_function(PyObject* module, PyMethodDef* def);
// The submodule of `def`, created once per process (kept in `cache`), added to parent.
bool add_submodule(PyObject* parent, PyModuleDef& def, std::atomic<PyObject*>& cache, CreationLock& lock);

// Emitted wherever a module table names T (see ModuleMembership in frame/class_table.hpp).
template <class T>
[[gnu::used, gnu::noinline]] void ModuleMembership<T>::class_not_in_any_module_table() {}

template <class T>
struct Class {
    static constexpr std::size_t record_count = 0;  // the class table describes it
    static bool add(PyObject* module) {
        ModuleMembership<T>::class_not_in_any_module_table();
        return add_class(module, class_object<T>);
    }
    static void pickled(std::vector<PickledClass>& out) {
        if (const PickleSpec* spec = pickle_spec_of<T>.load(std::memory_order_relaxed))
            out.push_back({class_object<T>.peek(), spec});
    }
    template <fixed_string ModuleName>
    static constexpr std::uint64_t id() {
        return class_id(name_of<T>);
    }
    template <fixed_string ModuleName, std::size_t N>
    static constexpr void describe(RecordList<N>&) {}
};

// A module-level function (no owner class: messages read "name()"). Prose is the module's table
// of docstring prose (frame/prose.hpp): Function for a module without prose, Documented<table>
// ::Function for one with.
template <const auto& Prose, fixed_string Name, auto Fn, fixed_string... Params>
struct FunctionEntry {
    static constexpr auto doc = docstring<Prose, "", Name, Name, false, ArgsOf<Fn>, Params...>();
    static constexpr std::size_t record_count = 1;
    static inline PyMethodDef def = [] {
        if constexpr (sizeof...(Params) == 0)
            return PyMethodDef{Name.data, &call_noargs<Fn, false>, METH_NOARGS, doc.data};
        else
            return PyMethodDef{Name.data,
                               reinterpret_cast<PyCFunction>(
                                   reinterpret_cast<void (*)()>(&call_fast<Fn, Desc<Name, void, Params...>, false>)),
                               METH_FASTCALL | METH_KEYWORDS, doc.data};
    }();
    static bool add(PyObject* module) { return add_function(module, &def); }
    static void pickled(std::vector<PickledClass>&) {}
    template <fixed_string ModuleName>
    static constexpr std::uint64_t id() {
        return function_id(ModuleName.data, Name.data);
    }
    template <fixed_string ModuleName, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        Json j =
            function_head(Name.data, nullptr, parameters_json<ArgsOf<Fn>>(Desc<Name, void, Params...>::param_names),
                          CasterOf<ResultOf<Fn>>::annotation());
        j.add(R"(,"id":")");
        j.add_decimal(id<ModuleName>());
        j.add("\"}");
        out.add(j, "function:", ModuleName.data, ".", Name.data);
    }
};
template <fixed_string Name, auto Fn, fixed_string... Params>
using Function = FunctionEntry<kNoProse, Name, Fn, Params...>;

// A step of the execution step that adds no member, and so appears in no record. It runs in its
// place among the members.
template <bool (*Fn)(PyObject*)>
struct Step {
    static constexpr std::size_t record_count = 0;
    static constexpr bool unlisted = true;
    static bool add(PyObject* module) { return Fn(module); }
    static void pickled(std::vector<PickledClass>&) {}
    template <fixed_string ModuleName, std::size_t N>
    static constexpr void describe(RecordList<N>&) {}
};

// A class that the module does not register (no attribute, not in __all__): its instances come
// only from other calls. Listed here all the same, so that it is a member by decision.
template <class T>
struct Unlisted {
    static constexpr std::size_t record_count = 0;
    static constexpr bool unlisted = true;
    static bool add(PyObject*) {
        ModuleMembership<T>::class_not_in_any_module_table();
        return true;
    }
    static void pickled(std::vector<PickledClass>&) {}  // its instances are not pickled
    template <fixed_string ModuleName, std::size_t N>
    static constexpr void describe(RecordList<N>&) {}
};

template <class M>
concept Listed = !requires { M::unlisted; };

// Name is the module's name in the records, FullName its import name; its docstring is the prose
// of Name in Prose ("" without prose).
template <const auto& Prose, fixed_string Name, fixed_string FullName, class... Members>
struct ModuleEntry {
    static constexpr auto name = Name;
    static constexpr std::size_t record_count = 1 + (std::size_t{0} + ... + Members::record_count);

    template <std::size_t N>
    static constexpr void describe_all(RecordList<N>& out) {
        (Members::template describe<Name>(out), ...);
        Json j = json_of(R"({"type":"module","id":")");
        j.add_decimal(module_id(Name.data));
        j.add(R"(","name":")");
        j.add(Name.data);
        j.add(R"(","members":[)");
        bool first = true;
        auto list = [&]<class M>() {
            if constexpr (Listed<M>) {
                j.add(first ? "\"" : ",\"");
                j.add_decimal(M::template id<Name>());
                j.add('"');
                first = false;
            }
        };
        (list.template operator()<Members>(), ...);
        j.add(R"(],"incomplete":false})");
        out.add(j, "module:", Name.data);
    }
    static constexpr auto make_records() {
        RecordList<record_count> out;
        describe_all(out);
        return out;
    }
    static constexpr auto records = make_records();

    // The classes of this module and its submodules that declare pickling.
    static void pickled(std::vector<PickledClass>& out) { (Members::pickled(out), ...); }
    static bool register_classes(PyObject* module) {
        try {
            std::vector<PickledClass> classes;
            pickled(classes);
            return register_pickling(module, classes);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
    }
    // A submodule's name has a dot; only the top module registers, for the whole table.
    static constexpr bool is_top = [] {
        for (const char* c = FullName.data; *c != '\0'; ++c)
            if (*c == '.') return false;
        return true;
    }();
    static int exec(PyObject* module) {
        if (!(Members::add(module) && ...)) return -1;
        if constexpr (is_top) {
            if (!register_classes(module)) return -1;
        }
        return 0;
    }
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(&exec)},
#ifdef Py_mod_gil
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
        {0, nullptr},
    };
    static inline PyModuleDef def = {
        PyModuleDef_HEAD_INIT,
        FullName.data,
        prose_of<Prose>("", Name.data),
        0,
        nullptr,
        slots,
        nullptr,
        nullptr,
        nullptr,
    };
    // The entry point's work: the definition, passed through multi-phase initialisation. Only the
    // top module places the records (its submodules' are among them).
    static PyObject* init() {
        static_cast<void>(&emit_records<ModuleEntry>);
        return PyModuleDef_Init(&def);
    }
};

template <fixed_string Name, fixed_string FullName, class... Members>
using Module = ModuleEntry<kNoProse, Name, FullName, Members...>;

// A submodule: created once per process, then added to each parent module object.
template <class M>
struct Submodule {
    static constexpr std::size_t record_count = M::record_count;
    static inline std::atomic<PyObject*> object{nullptr};
    static inline CreationLock lock{};
    static bool add(PyObject* parent) { return add_submodule(parent, M::def, object, lock); }
    static void pickled(std::vector<PickledClass>& out) { M::pickled(out); }
    template <fixed_string ModuleName>
    static constexpr std::uint64_t id() {
        return module_id(M::name.data);
    }
    template <fixed_string ModuleName, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        M::describe_all(out);
    }
};

}  // namespace ostrilo
