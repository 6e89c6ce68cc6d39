#pragma once
// Module functions of ostrilo_ext: the frame's Function with a docstring and optional trailing
// parameters. Doc is the whole __doc__ ("name(a, b, *, tol=1e-09)\n--\n\nWhat it does."), whose
// first part is the text signature that inspect.signature reads. A parameter of type
// Opt<T, Default> may be left out and then takes Default.
//
//     Entry<"contains_point", contains_point, kContainsPointDoc, "plane", "point", "rel_tol", "abs_tol">
#include <optional>

#include "frame/module_table.hpp"

namespace ostrilo {

template <class T, auto Default>
struct Opt {
    T value;
    operator T() const { return value; }
};

template <class T, auto Default>
struct Caster<Opt<T, Default>> {
    struct Holder {
        typename CasterOf<T>::Holder inner{};
        bool present = false;
    };
    static bool from(PyObject* o, Holder& h) {
        if (o == nullptr) return true;  // left out
        h.present = true;
        return CasterOf<T>::from(o, h.inner);
    }
    static Opt<T, Default> get(Holder& h) {
        return Opt<T, Default>{h.present ? T(CasterOf<T>::get(h.inner)) : T(Default)};
    }
    static constexpr Json annotation() { return CasterOf<T>::annotation(); }
};

namespace ext {

template <class T>
struct IsOpt : std::false_type {};
template <class T, auto D>
struct IsOpt<Opt<T, D>> : std::true_type {};

// How many leading parameters are required (those before the first Opt).
template <class Args>
struct RequiredCount;
template <class... A>
struct RequiredCount<std::tuple<A...>> {
    static constexpr std::size_t value = [] {
        constexpr bool opt[] = {IsOpt<std::remove_cvref_t<A>>::value..., false};
        std::size_t n = 0;
        while (n < sizeof...(A) && !opt[n]) ++n;
        return n;
    }();
};

// Fills slots[0, nparams) like the frame's parse_vector, leaving optional ones (index >= required)
// null when not given; false with the error set.
bool parse_with_defaults(const FnDesc& d, std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PyObject** slots);

// The arguments of a call into `slots`, one per parameter (nullptr where an Opt one was left out):
// by position without a parse when every one is given so, else through parse_with_defaults.
template <class D, class Params>
bool gather_with_defaults(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** slots) {
    static_assert(D::count == std::tuple_size_v<Params>, "parameter names must match the function's parameters");
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(D::count)) [[likely]] {
        for (std::size_t i = 0; i < D::count; ++i) slots[i] = args[i];
        return true;
    }
    return parse_with_defaults(D::get(), RequiredCount<Params>::value, args, nargs, kwnames, slots);
}

template <auto Fn, class D>
PyObject* call_with_defaults(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    using Params = ArgsOf<Fn>;
    PyObject* slots[D::count + 1];
    if (!gather_with_defaults<D, Params>(args, nargsf, kwnames, slots)) return nullptr;
    ArgPack<Params> pack;
    if (!pack.convert(slots, D::param_names)) return nullptr;
    return finish_call([&]() -> decltype(auto) { return pack.template call<Fn>(); });
}

template <fixed_string Name, auto Fn, fixed_string Doc, fixed_string... Params>
struct Entry {
    static constexpr std::size_t record_count = 1;
    using D = Desc<Name, void, Params...>;
    static inline PyMethodDef def = {
        Name.data,
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_with_defaults<Fn, D>)),
        METH_FASTCALL | METH_KEYWORDS,
        Doc.data,
    };
    static bool add(PyObject* module) { return add_function(module, &def); }
    static void pickled(std::vector<PickledClass>&) {}  // a function has no pickling of its own
    template <fixed_string ModuleName>
    static constexpr std::uint64_t id() {
        return function_id(ModuleName.data, Name.data);
    }
    template <fixed_string ModuleName, std::size_t N>
    static constexpr void describe(RecordList<N>& out) {
        Json j = function_head(Name.data, nullptr, parameters_json<ArgsOf<Fn>>(D::param_names),
                               CasterOf<ResultOf<Fn>>::annotation());
        j.add(R"(,"id":")");
        j.add_decimal(id<ModuleName>());
        j.add("\"}");
        out.add(j, "function:", ModuleName.data, ".", Name.data);
    }
};

}  // namespace ext
}  // namespace ostrilo
