#pragma once
// Docstrings. Every one starts with the text signature that inspect.signature reads
// ("query($self, points, k=1)\n--\n\n"), written from the entry's own parameter names and
// defaults, so it cannot disagree with what the call accepts. A module that keeps the prose of
// its names in docs/api/<module>.toml gets that prose after the signature: the build turns the
// file into a header holding a table of ProseEntry, and the module's tables name it through
// Documented<table> (frame/class_table.hpp, frame/module_table.hpp). A documented entry whose
// prose is missing does not compile.
#include <cstddef>
#include <tuple>
#include <utility>

#include "frame/call.hpp"

namespace ostrilo {

struct ProseEntry {
    const char* key;   // "compose", "SpatialIndex", "SpatialIndex.query"
    const char* text;  // what help() shows after the text signature
};

// The table of a module whose docstrings are its text signatures only (ostrilo_py's).
inline constexpr ProseEntry kNoProse[] = {{"", ""}};

template <const auto& Prose>
constexpr bool has_prose = Prose[0].key[0] != '\0';

// Whether key is owner + "." + name (just name when owner is empty, just owner when name is).
constexpr bool key_is(const char* key, const char* owner, const char* name) {
    std::size_t i = 0;
    for (std::size_t k = 0; owner[k] != '\0'; ++k, ++i)
        if (key[i] != owner[k]) return false;
    if (owner[0] != '\0' && name[0] != '\0') {
        if (key[i] != '.') return false;
        ++i;
    }
    for (std::size_t k = 0; name[k] != '\0'; ++k, ++i)
        if (key[i] != name[k]) return false;
    return key[i] == '\0';
}

// The prose of owner.name in the table; "" when the table has none for it.
template <const auto& Prose>
consteval const char* prose_of(const char* owner, const char* name) {
    for (const ProseEntry& e : Prose)
        if (key_is(e.key, owner, name)) return e.text;
    return "";
}

// Counts, then writes, the characters of a text built at compile time.
struct TextSink {
    char* data;
    std::size_t size;
    bool write;
    constexpr void put(const char* s) {
        for (std::size_t i = 0; s[i] != '\0'; ++i) {
            if (write) data[size] = s[i];
            ++size;
        }
    }
};

// The text that Write (a constexpr callable taking a TextSink&) writes, as a fixed_string.
template <auto Write>
constexpr auto make_text() {
    constexpr std::size_t n = [] {
        TextSink s{nullptr, 0, false};
        Write(s);
        return s.size;
    }();
    fixed_string<n + 1> out{};
    TextSink s{out.data, 0, true};
    Write(s);
    out.data[n] = '\0';
    return out;
}

template <class Params, std::size_t I>
constexpr const char* default_text_of() {
    using A = std::tuple_element_t<I, Params>;
    if constexpr (HasDefault<A>)
        return CasterOf<A>::default_text;
    else
        return "";
}

// "name($self, a, b=1)\n--\n\n" for methods (Self), "name(a, b=1)\n--\n\n" otherwise; Params are
// the parameters' C++ types, whose casters give the defaults.
template <fixed_string Name, bool Self, class Params, fixed_string... P>
constexpr void write_signature(TextSink& s) {
    static_assert(sizeof...(P) == std::tuple_size_v<Params>, "parameter names must match the function's parameters");
    s.put(Name.data);
    s.put("(");
    bool first = !Self;
    if (Self) s.put("$self");
    const char* names[] = {P.data..., ""};
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (
            [&] {
                s.put(first ? "" : ", ");
                first = false;
                s.put(names[I]);
                const char* d = default_text_of<Params, I>();
                if (d[0] != '\0') {
                    s.put("=");
                    s.put(d);
                }
            }(),
            ...);
    }(std::make_index_sequence<sizeof...(P)>{});
    s.put(")\n--\n\n");
}

// The docstring of owner.name: its signature, then its prose where the module keeps prose (and
// must have it: a documented entry without prose is a build error naming the missing key).
template <const auto& Prose, fixed_string Owner, fixed_string Key, fixed_string Name, bool Self, class Params,
          fixed_string... P>
constexpr auto docstring() {
    static_assert(!has_prose<Prose> || prose_of<Prose>(Owner.data, Key.data)[0] != '\0',
                  "no prose for this name: add its entry to the module's docs/api/<module>.toml");
    return make_text<[](TextSink& s) {
        write_signature<Name, Self, Params, P...>(s);
        s.put(prose_of<Prose>(Owner.data, Key.data));
    }>();
}

// A class's docstring: the constructor's signature, the class's prose, then the constructor's.
template <const auto& Prose, fixed_string Owner, class Params, fixed_string... P>
constexpr auto class_docstring() {
    static_assert(!has_prose<Prose> || prose_of<Prose>(Owner.data, "")[0] != '\0',
                  "no prose for this class: add its entry to the module's docs/api/<module>.toml");
    return make_text<[](TextSink& s) {
        write_signature<Owner, false, Params, P...>(s);
        s.put(prose_of<Prose>(Owner.data, ""));
        const char* ctor = prose_of<Prose>(Owner.data, "__new__");
        if (ctor[0] != '\0') {
            s.put("\n\n");
            s.put(ctor);
        }
    }>();
}

// The docstring of a property: its prose, or none.
template <const auto& Prose, fixed_string Owner, fixed_string Name>
constexpr const char* property_doc() {
    if constexpr (has_prose<Prose>) {
        constexpr const char* text = prose_of<Prose>(Owner.data, Name.data);
        static_assert(text[0] != '\0',
                      "no prose for this property: add its entry to the module's docs/api/<module>.toml");
        return text;
    } else {
        return nullptr;
    }
}

}  // namespace ostrilo
