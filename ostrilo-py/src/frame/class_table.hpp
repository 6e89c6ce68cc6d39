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
#include <memory>
#include <vector>

#include "frame/operators.hpp"
#include "frame/pickling.hpp"
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

// The names of a one-parameter function, for parameters_json.
struct OneName {
    const char* names[1];
    constexpr operator const char* const*() const { return names; }
};
constexpr OneName one_name(const char* name) { return {{name}}; }

// A method with the receiver first (WithReceiver), or a static method.
template <fixed_string Name, auto Fn, bool WithReceiver, fixed_string... Params>
struct MethodEntry {
    static constexpr auto doc = signature_text<Name, WithReceiver, Params...>();
    static constexpr std::size_t record_count = 1;
    template <class T>
    static void add(ClassParts& c) {
        constexpr int kind = WithReceiver ? 0 : METH_STATIC;
        if constexpr (sizeof...(Params) == 0)
            c.methods.push_back({Name.data, &call_noargs<Fn, WithReceiver>, METH_NOARGS | kind, doc.data});
        else
            c.methods.push_back({Name.data,
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                     &call_fast<Fn, Desc<Name, T, Params...>, WithReceiver>)),
                                 METH_FASTCALL | METH_KEYWORDS | kind, doc.data});
    }
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        add_method_record(out, name_of<T>, Name.data, WithReceiver ? "self" : nullptr,
                          parameters_json<ParamsOf<Fn, WithReceiver>>(Desc<Name, T, Params...>::param_names),
                          CasterOf<ResultOf<Fn>>::annotation(),
                          WithReceiver ? Decorator::None : Decorator::StaticMethod);
    }
};
template <fixed_string Name, auto Fn, fixed_string... Params>
using Method = MethodEntry<Name, Fn, true, Params...>;
template <fixed_string Name, auto Fn, fixed_string... Params>
using Static = MethodEntry<Name, Fn, false, Params...>;

// The constructor: Fn makes the core value from the parameters.
template <auto Fn, fixed_string... Params>
struct Ctor {
    static constexpr std::size_t record_count = 1;
    template <class T>
    struct Doc {
        static constexpr auto text = signature_text<Bound<T>::name, false, Params...>();
    };
    template <class T>
    static void add(ClassParts& c) {
        using D = Desc<"__new__", T, Params...>;
        c.doc = Doc<T>::text.data;
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

template <fixed_string Name, auto Get, auto Set = nullptr>
struct Property {
    static constexpr bool has_setter = !std::is_same_v<decltype(Set), std::nullptr_t>;
    static constexpr std::size_t record_count = has_setter ? 2 : 1;
    template <class T>
    static void add(ClassParts& c) {
        if constexpr (has_setter)
            c.getset.push_back({Name.data, &getter<Get>, &setter<Set>, nullptr, nullptr});
        else
            c.getset.push_back({Name.data, &getter<Get>, nullptr, nullptr, nullptr});
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
using Field = Property<Name, read_field<Member>, write_field<Member>>;

// A type slot given directly, with nothing to describe.
template <int SlotId, auto Fn>
struct Slot {
    static constexpr std::size_t record_count = 0;
    template <class T>
    static void add(ClassParts& c) {
        c.slots.push_back({SlotId, reinterpret_cast<void*>(Fn)});
    }
    template <class T, std::size_t N>
    static constexpr void describe(RecordList<N>&) {}
};

using Unhashable = Slot<Py_tp_hash, PyObject_HashNotImplemented>;

// A slot that the interpreter exposes as one special method without parameters.
template <int SlotId, fixed_string Name, auto Trampoline, class Result>
struct Special : Slot<SlotId, Trampoline> {
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

template <class T, class... Entries>
struct ClassTable {
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
        static constexpr auto qualified = qualified_name();
        auto c = std::make_unique<ClassParts>(
            ClassParts{qualified.data, nullptr, static_cast<int>(sizeof(Obj<T>)), {}, {}, {}, nullptr});
        c->slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)});
        c->slots.push_back({Py_tp_free, reinterpret_cast<void*>(&PyObject_Free)});
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
