#pragma once
// Class tables. A class is one declaration: a ClassTable of its core type and its entries. The
// same entries build the class object and describe the interface records.
//
//     using Vec3dClass = ClassTable<drevan::Vec3d, Ctor<from_fields<Vec3d, double, double, double>,
//                                   "x", "y", "z">, Method<"dot", &Vec3d::dot, "other">, ...>;
//     PyTypeObject* Bound<drevan::Vec3d>::create() { return Vec3dClass::create(); }
//
// Every entry provides
//     template <class T> static void add(ClassParts&);      what the class object gets
//     static constexpr std::size_t record_count;             how many records it describes
//     template <class T, std::size_t N> static constexpr void describe(RecordList<N>&);
// A type slot with no Python-visible name (the buffer protocol, say) is one more entry:
//     Slot<Py_bf_getbuffer, get_buffer>, Slot<Py_bf_releasebuffer, release_buffer>
// and so is how instances pickle (frame/pickling.hpp):
//     Pickled<"vec3d", "x", "y", "z">
// and where the instances live is InstanceStorage<T> (frame/borrow.hpp).
//
// The compiler holds a table to three rules:
// - a slot and the special method it is announced as agree (Binary<Py_nb_add, Op<"__add__", ..>>,
//   Special<Py_tp_iter, "__iter__", ..>), and a slot that Python exposes under a special-method
//   name is declared with that name, never as a plain Slot, so the records announce it;
// - a table says how its instances compare: one Compare entry, or CompareByIdentity;
// - a module table lists the class (Class<T>, or Unlisted<T> for a class reached only through
//   its instances): otherwise the library does not link, and the linker names
//   ModuleMembership<T>::class_not_in_any_module_table.
#include <memory>
#include <vector>

#include "frame/operators.hpp"
#include "frame/pickling.hpp"
#include "frame/prose.hpp"
#include "frame/records.hpp"

namespace ostrilo {

struct ClassParts {
    const char* qualified_name;  // "builtins.Vec3d"
    const char* doc = nullptr;   // text signature of the constructor
    int basicsize;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getset;
    std::vector<PyType_Slot> slots;
    vectorcallfunc vectorcall = nullptr;
};

// Creates the class object from its parts (kept alive for the process with the class; freed
// when there is no class). nullptr with an error set.
PyTypeObject* create_class(std::unique_ptr<ClassParts> parts);

template <class T>
constexpr const char* name_of = Bound<T>::name.data;

// The special methods that the interpreter derives from a type slot: the forward form and, for
// a binary number slot, the reflected one (nullptr where there is none).
struct SlotMethod {
    int slot;
    const char* forward;
    const char* reflected;  // "" where the operator has no reflected form
};
inline constexpr SlotMethod slot_methods[] = {
    {Py_nb_add, "__add__", "__radd__"},
    {Py_nb_subtract, "__sub__", "__rsub__"},
    {Py_nb_multiply, "__mul__", "__rmul__"},
    {Py_nb_true_divide, "__truediv__", "__rtruediv__"},
    {Py_nb_floor_divide, "__floordiv__", "__rfloordiv__"},
    {Py_nb_remainder, "__mod__", "__rmod__"},
    {Py_nb_divmod, "__divmod__", "__rdivmod__"},
    {Py_nb_power, "__pow__", "__rpow__"},
    {Py_nb_matrix_multiply, "__matmul__", "__rmatmul__"},
    {Py_nb_lshift, "__lshift__", "__rlshift__"},
    {Py_nb_rshift, "__rshift__", "__rrshift__"},
    {Py_nb_and, "__and__", "__rand__"},
    {Py_nb_or, "__or__", "__ror__"},
    {Py_nb_xor, "__xor__", "__rxor__"},
    {Py_nb_negative, "__neg__", ""},
    {Py_nb_positive, "__pos__", ""},
    {Py_nb_absolute, "__abs__", ""},
    {Py_nb_invert, "__invert__", ""},
    {Py_nb_bool, "__bool__", ""},
    {Py_nb_int, "__int__", ""},
    {Py_nb_float, "__float__", ""},
    {Py_nb_index, "__index__", ""},
    {Py_tp_repr, "__repr__", ""},
    {Py_tp_str, "__str__", ""},
    {Py_tp_hash, "__hash__", ""},
    {Py_tp_call, "__call__", ""},
    {Py_tp_iter, "__iter__", ""},
    {Py_tp_iternext, "__next__", ""},
    {Py_tp_richcompare, "__eq__", ""},
    {Py_sq_length, "__len__", ""},
    {Py_mp_length, "__len__", ""},
    {Py_sq_item, "__getitem__", ""},
    {Py_mp_subscript, "__getitem__", ""},
    {Py_sq_contains, "__contains__", ""},
    {Py_sq_ass_item, "__setitem__", ""},
    {Py_mp_ass_subscript, "__setitem__", ""},
    {Py_sq_concat, "__add__", ""},
    {Py_sq_repeat, "__mul__", ""},
    {Py_nb_inplace_add, "__iadd__", ""},
    {Py_nb_inplace_subtract, "__isub__", ""},
    {Py_nb_inplace_multiply, "__imul__", ""},
    {Py_nb_inplace_true_divide, "__itruediv__", ""},
    {Py_nb_inplace_floor_divide, "__ifloordiv__", ""},
    {Py_nb_inplace_remainder, "__imod__", ""},
    {Py_nb_inplace_power, "__ipow__", ""},
    {Py_nb_inplace_matrix_multiply, "__imatmul__", ""},
    {Py_tp_new, "__new__", ""},
    {Py_tp_init, "__init__", ""},
    {Py_tp_getattro, "__getattribute__", ""},
    {Py_tp_setattro, "__setattr__", ""},
    {Py_tp_descr_get, "__get__", ""},
    {Py_tp_descr_set, "__set__", ""},
    {Py_tp_finalize, "__del__", ""},
};

// The row of `slot` in slot_methods, or -1 when the interpreter names no special method after it.
constexpr int slot_method_row(int slot) {
    for (std::size_t i = 0; i < std::size(slot_methods); ++i)
        if (slot_methods[i].slot == slot) return static_cast<int>(i);
    return -1;
}
constexpr bool slot_has_reflected(int slot) {
    const int row = slot_method_row(slot);
    return row >= 0 && slot_methods[row].reflected[0] != 0;
}
// Whether `name` is what the interpreter calls the forward (or reflected) form of `slot`.
constexpr bool slot_is_named(int slot, const char* name, bool reflected = false) {
    const int row = slot_method_row(slot);
    if (row < 0) return false;
    const char* text = reflected ? slot_methods[row].reflected : slot_methods[row].forward;
    return text[0] != 0 && same_text(text, name);
}

// Defined by the module tables (frame/module_table.hpp) for each class they list; referred to by
// each class table, so a class that no module table lists leaves this undefined at link time.
template <class T>
struct ModuleMembership {
    [[gnu::visibility("hidden")]] static void class_not_in_any_module_table();
};

// The names of a one-parameter function, for parameters_json.
struct OneName {
    const char* names[1];
    constexpr operator const char* const*() const { return names; }
};
constexpr OneName one_name(const char* name) { return {{name}}; }

// A method with the receiver first (WithReceiver), or a static method. Prose is the module's
// table of docstring prose (frame/prose.hpp).
template <fixed_string Name, auto Fn, bool WithReceiver, const auto& Prose, fixed_string... Params>
struct MethodEntry {
    static constexpr std::size_t record_count = 1;
    template <class T>
    static constexpr auto doc =
        docstring<Prose, Bound<T>::name, Name, Name, WithReceiver, ParamsOf<Fn, WithReceiver>, Params...>();
    template <class T>
    static void add(ClassParts& c) {
        constexpr int kind = WithReceiver ? 0 : METH_STATIC;
        if constexpr (sizeof...(Params) == 0)
            c.methods.push_back({Name.data, &call_noargs<Fn, WithReceiver>, METH_NOARGS | kind, doc<T>.data});
        else
            c.methods.push_back({Name.data,
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                     &call_fast<Fn, Desc<Name, T, Params...>, WithReceiver>)),
                                 METH_FASTCALL | METH_KEYWORDS | kind, doc<T>.data});
    }
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        add_method_record(out, name_of<T>, Name.data, WithReceiver ? "self" : nullptr,
                          parameters_json<ParamsOf<Fn, WithReceiver>>(Desc<Name, T, Params...>::param_names),
                          CasterOf<ResultOf<Fn>>::annotation(),
                          WithReceiver ? Decorator::None : Decorator::StaticMethod);
    }
};

// The constructor: Fn makes the core value from the parameters.
template <const auto& Prose, auto Fn, fixed_string... Params>
struct CtorEntry {
    static constexpr std::size_t record_count = 1;
    template <class T>
    static constexpr auto doc = class_docstring<Prose, Bound<T>::name, ArgsOf<Fn>, Params...>();
    template <class T>
    static void add(ClassParts& c) {
        using D = Desc<"__new__", T, Params...>;
        c.doc = doc<T>.data;
        c.slots.push_back({Py_tp_new, reinterpret_cast<void*>(&tp_new<Fn, D>)});
        c.vectorcall = &type_vectorcall<Fn, D>;
    }
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        add_method_record(out, name_of<T>, "__new__", "cls",
                          parameters_json<ArgsOf<Fn>>(Desc<"__new__", T, Params...>::param_names),
                          class_annotation(name_of<T>));
    }
};

// Indexing: the subscript and the sequence item derived from it.
template <auto Fn>
struct Item {
    static constexpr std::size_t record_count = 1;
    template <class T>
    static void add(ClassParts& c) {
        c.slots.push_back({Py_mp_subscript, reinterpret_cast<void*>(&subscript<Fn>)});
        c.slots.push_back({Py_sq_item, reinterpret_cast<void*>(&sequence_item<Fn>)});
    }
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        add_method_record(out, name_of<T>, "__getitem__", "self",
                          parameters_json<std::tuple<ArgOf<Fn, 1>>>(one_name("index")),
                          CasterOf<ResultOf<Fn>>::annotation());
    }
};

template <const auto& Prose, fixed_string Name, auto Get, auto Set = nullptr>
struct PropertyEntry {
    static constexpr bool has_setter = !std::is_same_v<decltype(Set), std::nullptr_t>;
    static constexpr std::size_t record_count = has_setter ? 2 : 1;
    template <class T>
    static void add(ClassParts& c) {
        constexpr const char* doc = property_doc<Prose, Bound<T>::name, Name>();
        if constexpr (has_setter)
            c.getset.push_back({Name.data, &getter<Get>, &setter<Set>, doc, nullptr});
        else
            c.getset.push_back({Name.data, &getter<Get>, nullptr, doc, nullptr});
    }
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        add_method_record(out, name_of<T>, Name.data, "self", Json{}, CasterOf<ResultOf<Get>>::annotation(),
                          Decorator::Property);
        if constexpr (has_setter)
            add_method_record(out, name_of<T>, Name.data, "self",
                              parameters_json<std::tuple<ArgOf<Set, 1>>>(one_name("value")), none_annotation(),
                              Decorator::Setter);
    }
};

// A property that reads and writes one field of the value record.
template <class M>
struct MemberOf;
template <class C, class F>
struct MemberOf<F C::*> {
    using Class = C;
    using Type = F;
};
template <auto Member>
typename MemberOf<decltype(Member)>::Type read_field(const typename MemberOf<decltype(Member)>::Class& v) {
    return v.*Member;
}
template <auto Member>
void write_field(typename MemberOf<decltype(Member)>::Class& v,
                 const typename MemberOf<decltype(Member)>::Type& value) {
    v.*Member = value;
}
template <fixed_string Name, auto Member>
using Field = PropertyEntry<kNoProse, Name, read_field<Member>, write_field<Member>>;

// The entries of a class whose docstrings carry prose from the table Prose (frame/prose.hpp):
//     using Doc = Documented<kProse>;
//     ClassTable<SpatialIndex, Doc::Ctor<make_index, "points">, Doc::Method<"query", query, "points", "k">, ...>
// and of one whose docstrings are its text signatures (ostrilo_py's), without the prefix.
template <const auto& Prose, fixed_string Name, auto Fn, fixed_string... Params>
struct FunctionEntry;  // a module function (frame/module_table.hpp)
template <const auto& Prose, fixed_string Name, fixed_string FullName, class... Members>
struct ModuleEntry;  // a module (frame/module_table.hpp)
template <const auto& Prose>
struct Documented {
    template <fixed_string Name, fixed_string FullName, class... Members>
    using Module = ModuleEntry<Prose, Name, FullName, Members...>;
    template <fixed_string Name, auto Fn, fixed_string... Params>
    using Function = FunctionEntry<Prose, Name, Fn, Params...>;
    template <fixed_string Name, auto Fn, fixed_string... Params>
    using Method = MethodEntry<Name, Fn, true, Prose, Params...>;
    template <fixed_string Name, auto Fn, fixed_string... Params>
    using Static = MethodEntry<Name, Fn, false, Prose, Params...>;
    template <auto Fn, fixed_string... Params>
    using Ctor = CtorEntry<Prose, Fn, Params...>;
    template <fixed_string Name, auto Get, auto Set = nullptr>
    using Property = PropertyEntry<Prose, Name, Get, Set>;
};
template <fixed_string Name, auto Fn, fixed_string... Params>
using Method = Documented<kNoProse>::Method<Name, Fn, Params...>;
template <fixed_string Name, auto Fn, fixed_string... Params>
using Static = Documented<kNoProse>::Static<Name, Fn, Params...>;
template <auto Fn, fixed_string... Params>
using Ctor = Documented<kNoProse>::Ctor<Fn, Params...>;
template <fixed_string Name, auto Get, auto Set = nullptr>
using Property = Documented<kNoProse>::Property<Name, Get, Set>;

// A type slot given directly, with nothing to describe.
template <int SlotId, auto Fn>
struct SlotEntry {
    static constexpr std::size_t record_count = 0;
    template <class T>
    static void add(ClassParts& c) {
        c.slots.push_back({SlotId, reinterpret_cast<void*>(Fn)});
    }
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>&) {}
};
template <int SlotId, auto Fn>
struct Slot : SlotEntry<SlotId, Fn> {
    static_assert(slot_method_row(SlotId) < 0,
                  "this slot is a special method in Python: declare it with its name (Special, Binary, Repr, "
                  "Hash, Compare, ...) so that the records announce it");
};

// Instances are unhashable: __hash__ is None, and nothing is announced.
using Unhashable = SlotEntry<Py_tp_hash, PyObject_HashNotImplemented>;

// A slot that the interpreter exposes as one special method without parameters.
template <int SlotId, fixed_string Name, auto Trampoline, class Result>
struct Special : SlotEntry<SlotId, Trampoline> {
    static_assert(slot_is_named(SlotId, Name.data), "the special-method name is not the one this slot has in Python");
    static constexpr std::size_t record_count = 1;
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        add_method_record(out, name_of<T>, Name.data, "self", Json{}, CasterOf<Result>::annotation());
    }
};

template <auto Fn>
using Repr = Special<Py_tp_repr, "__repr__", unary<Fn>, std::string>;
template <auto Fn>
using Hash = Special<Py_tp_hash, "__hash__", hash_slot<Fn>, std::size_t>;
template <auto Fn>
using Neg = Special<Py_nb_negative, "__neg__", unary<Fn>, ResultOf<Fn>>;
template <auto Fn>
using Len = Special<Py_sq_length, "__len__", len_slot<Fn>, std::size_t>;
template <auto Fn>
using Iter = Special<Py_tp_iter, "__iter__", unary<Fn>, ResultOf<Fn>>;

// One operand form of a binary operator: its special-method name, function and parameter name.
template <fixed_string Name, auto Fn, fixed_string Param>
struct Op {
    static constexpr auto name = Name;
    static constexpr auto fn = Fn;
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        add_method_record(out, name_of<T>, Name.data, "self",
                          parameters_json<std::tuple<ArgOf<Fn, 1>>>(one_name(Param.data)),
                          CasterOf<ResultOf<Fn>>::annotation());
    }
};

// A binary number slot: the forward form, and optionally the reflected one.
template <int SlotId, class Forward, class Reflected = void>
struct Binary {
    template <class R>
    static constexpr bool reflected_named() {
        if constexpr (std::is_void_v<R>)
            return true;
        else
            return slot_is_named(SlotId, R::name.data, true);
    }
    static_assert(slot_is_named(SlotId, Forward::name.data) && slot_has_reflected(SlotId),
                  "the forward operator's name is not the one this slot has in Python");
    static_assert(reflected_named<Reflected>(), "the reflected operator's name is not the one this slot has in Python");
    static constexpr std::size_t record_count = std::is_void_v<Reflected> ? 1 : 2;
    template <class T>
    static void add(ClassParts& c) {
        if constexpr (std::is_void_v<Reflected>)
            c.slots.push_back({SlotId, reinterpret_cast<void*>(&binary_slot<Forward::fn>)});
        else
            c.slots.push_back({SlotId, reinterpret_cast<void*>(&binary_slot<Forward::fn, Reflected::fn>)});
    }
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        Forward::template describe<T>(out);
        if constexpr (!std::is_void_v<Reflected>) Reflected::template describe<T>(out);
    }
};

// Rich comparison of the class with itself (see richcompare for the options).
template <auto Cmp, Compares Ops, NotEqual Ne, BorrowedOther Other>
struct Compare {
    static constexpr bool comparison = true;
    static constexpr bool described(int op) {
        return (static_cast<unsigned>(Ops) & (1u << op)) != 0 && !(op == Py_NE && Ne == NotEqual::NegatedEquality);
    }
    static constexpr std::size_t record_count =
        described(0) + described(1) + described(2) + described(3) + described(4) + described(5);
    template <class T>
    static void add(ClassParts& c) {
        c.slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(&richcompare<T, Cmp, Ops, Ne, Other>)});
    }
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        constexpr const char* names[] = {"__lt__", "__le__", "__eq__", "__ne__", "__gt__", "__ge__"};
        for (int op = 0; op < 6; ++op)
            if (described(op))
                add_method_record(out, name_of<T>, names[op], "self",
                                  parameters_json<std::tuple<const T&>>(one_name("other")), builtin_annotation("bool"));
    }
};

// No comparison of its own: instances compare (and hash, unless the table says otherwise) by
// identity, as plain objects do. Written in the table so that this is a choice, not an omission.
struct CompareByIdentity {
    static constexpr bool comparison = true;
    static constexpr std::size_t record_count = 0;
    template <class T>
    static void add(ClassParts&) {}
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>&) {}
};

template <class E>
concept ComparisonEntry = requires { E::comparison; };

template <class T, class... Entries>
struct ClassTable {
    static_assert((std::size_t{0} + ... + ComparisonEntry<Entries>) == 1,
                  "a class table has one comparison entry: Compare<...>, or CompareByIdentity");
    static constexpr auto make_records() {
        RecordList<1 + (std::size_t{0} + ... + Entries::record_count)> out;
        Json j = json_of(R"({"type":"class","id":")");
        j.add_decimal(class_id(name_of<T>));
        j.add(R"(","name":")");
        j.add(name_of<T>);
        j.add(R"(","decorators":[{"type":"attribute","value":{"type":"name","id":"typing"},"attr":"final"}]})");
        out.add(j, "class:", name_of<T>);
        (Entries::template describe<T>(out), ...);
        return out;
    }
    static constexpr auto records = make_records();

    // Builds the class object of T (may throw std::bad_alloc). The parts live for the process.
    static PyTypeObject* create() {
        static_cast<void>(&emit_records<ClassTable>);
        ModuleMembership<T>::class_not_in_any_module_table();
        static constexpr auto qualified = qualified_name();
        auto c = std::make_unique<ClassParts>(
            ClassParts{qualified.data, nullptr, static_cast<int>(sizeof(Obj<T>)), {}, {}, {}, nullptr});
#ifdef Py_GIL_DISABLED
        // No deallocator of our own: the interpreter's default one for heap types calls tp_free
        // and then drops the instance's reference to the class the way PyObject_Init took it
        // (per thread where the interpreter counts class references per thread).
        c->slots.push_back({Py_tp_free, reinterpret_cast<void*>(&free_instance<T>)});
#else
        c->slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)});
        c->slots.push_back({Py_tp_free, reinterpret_cast<void*>(&PyObject_Free)});
#endif
        (Entries::template add<T>(*c), ...);
        return create_class(std::move(c));
    }
    static constexpr auto qualified_name() {
        ctext<64> q;
        q.add("builtins.");
        q.add(name_of<T>);
        return q;
    }
};

}  // namespace ostrilo
