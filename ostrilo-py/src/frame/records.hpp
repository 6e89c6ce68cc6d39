#pragma once
// The interface records: one exported, read-only symbol per module, class and Python-visible
// function, "PYO3_INTROSPECTION_1_<number>", holding a 32-bit little-endian length, one compact
// JSON object and zero padding to a multiple of four bytes. Stub generators read them out of
// the library file. The tables build the JSON at compile time from the same entries that build
// the classes, and emit_records() places it in the library.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "frame/convert.hpp"

namespace ostrilo {

struct Record {
    std::uint64_t number = 0;  // fnv1a64("record:" + key), the key naming what it describes
    Json json;
};

template <std::size_t N>
struct RecordList {
    static constexpr std::size_t capacity = N;
    Record items[N > 0 ? N : 1];
    std::size_t size = 0;
    template <class... Key>
    constexpr void add(const Json& json, const Key&... key) {
        items[size++] = Record{fnv1a64("record:", key...), json};
    }
};

enum class Decorator { None, StaticMethod, Property, Setter };

// The parameters of a function as the records list them: {"name":..,"annotation":..},...
template <class Args, fixed_string... Params>
constexpr Json parameters_json() {
    Json j;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((j.add(I == 0 ? "" : ","), j.add(R"({"name":")"), j.add(Params.data), j.add(R"(","annotation":)"),
          j.add(CasterOf<std::tuple_element_t<I, Args>>::annotation()), j.add('}')),
         ...);
    }(std::make_index_sequence<sizeof...(Params)>{});
    return j;
}

// {"type":"function","name":..,"arguments":{..},"returns":..: the part every function shares.
constexpr Json function_head(const char* name, const char* receiver, const Json& params, const Json& returns) {
    Json j = json_of(R"({"type":"function","name":")");
    j.add(name);
    j.add(R"(","arguments":{)");
    if (receiver) {
        j.add(R"("posonlyargs":[{"name":")");
        j.add(receiver);
        j.add("\"}]");
    }
    if (!params.empty()) {
        j.add(receiver ? "," : "");
        j.add(R"("args":[)");
        j.add(params);
        j.add(']');
    }
    j.add(R"(},"returns":)");
    j.add(returns);
    return j;
}

// A method, static method, property accessor or special method of the class `owner`.
template <std::size_t N>
constexpr void add_method_record(RecordList<N>& out, const char* owner, const char* name, const char* receiver,
                                 const Json& params, const Json& returns, Decorator decorator = Decorator::None) {
    Json j = function_head(name, receiver, params, returns);
    j.add(R"(,"parent":")");
    j.add_decimal(class_id(owner));
    j.add('"');
    if (decorator == Decorator::StaticMethod) j.add(R"(,"decorators":[{"type":"name","id":"staticmethod"}])");
    if (decorator == Decorator::Property) j.add(R"(,"decorators":[{"type":"name","id":"property"}])");
    if (decorator == Decorator::Setter) {
        j.add(R"(,"decorators":[{"type":"attribute","value":{"type":"attribute","value":)");
        j.add(class_annotation(owner));
        j.add(R"(,"attr":")");
        j.add(name);
        j.add(R"("},"attr":"setter"}])");
    }
    j.add('}');
    out.add(j, "function:", owner, ".", name, decorator == Decorator::Setter ? ".setter" : "");
}

constexpr std::uint64_t function_id(const char* module, const char* name) {
    return fnv1a64("function:", module, ".", name);
}
constexpr std::uint64_t module_id(const char* name) { return fnv1a64("module:", name); }

// ---------------------------------------------------------------------------------------------
// Emission. Source::records is a constexpr RecordList; each record becomes one symbol, written
// by inline assembly whose operands are integer constants (the symbol's number in decimal, its
// size, its words), so it needs no relocation and works the same on every target. Every
// emit_records<Source> must be instantiated in one translation unit only: table types live in
// unnamed namespaces.

template <auto V>
inline constexpr auto constant = V;

template <class Source, std::size_t R>
struct RecordWords {
    static constexpr const Record& record = Source::records.items[R];
    static constexpr std::size_t bytes = 4 + record.json.size;  // length, then the text
    static constexpr std::size_t padded = (bytes + 31) / 32 * 32;
    static constexpr unsigned char byte(std::size_t i) {
        if (i < 4) return static_cast<unsigned char>(record.json.size >> (8 * i));
        return i < bytes ? static_cast<unsigned char>(record.json.data[i - 4]) : 0;
    }
    // Word k as the target stores it, as a signed value for the assembler.
    static constexpr std::int32_t word(std::size_t k) {
        std::uint32_t w = 0;
        for (std::size_t b = 0; b < 4; ++b) {
            const std::size_t shift = std::endian::native == std::endian::little ? 8 * b : 8 * (3 - b);
            w |= static_cast<std::uint32_t>(byte(4 * k + b)) << shift;
        }
        return static_cast<std::int32_t>(w);
    }
    static constexpr std::uint64_t low = record.number % 10'000'000'000ULL;
    static constexpr int lead = static_cast<int>(record.number / 10'000'000'000ULL);
    static_assert(lead > 0, "record numbers have more than ten digits");
    static constexpr int digit(int k) { return static_cast<int>(low / pow10(9 - k) % 10); }
    static constexpr std::uint64_t pow10(int k) { return k == 0 ? 1 : 10 * pow10(k - 1); }
};

#define OSTRILO_RECORD_NAME "PYO3_INTROSPECTION_1_%c0%c1%c2%c3%c4%c5%c6%c7%c8%c9%c10"
#define OSTRILO_RECORD_SECTION ".pushsection .rodata.ostrilo_records,\"a\"\n\t"

// Eight words of record R from word 8 * C; words past its end are zero padding outside the symbol.
template <class Source, std::size_t R, std::size_t C>
[[gnu::always_inline]] inline void emit_words() {
    using W = RecordWords<Source, R>;
    asm volatile(OSTRILO_RECORD_SECTION
                 ".4byte %c0, %c1, %c2, %c3, %c4, %c5, %c6, %c7\n\t.popsection" ::"i"(constant<W::word(8 * C)>),
                 "i"(constant<W::word(8 * C + 1)>), "i"(constant<W::word(8 * C + 2)>),
                 "i"(constant<W::word(8 * C + 3)>), "i"(constant<W::word(8 * C + 4)>),
                 "i"(constant<W::word(8 * C + 5)>), "i"(constant<W::word(8 * C + 6)>),
                 "i"(constant<W::word(8 * C + 7)>));
}

template <class Source, std::size_t R, std::size_t... C>
[[gnu::always_inline]] inline void emit_record(std::index_sequence<C...>) {
    using W = RecordWords<Source, R>;
    asm volatile(OSTRILO_RECORD_SECTION ".balign 4\n\t.globl " OSTRILO_RECORD_NAME "\n\t.type " OSTRILO_RECORD_NAME
                                        ", %%object\n\t.size " OSTRILO_RECORD_NAME ", %c11\n" OSTRILO_RECORD_NAME
                                        ":\n\t.popsection" ::"i"(constant<W::lead>),
                 "i"(constant<W::digit(0)>), "i"(constant<W::digit(1)>), "i"(constant<W::digit(2)>),
                 "i"(constant<W::digit(3)>), "i"(constant<W::digit(4)>), "i"(constant<W::digit(5)>),
                 "i"(constant<W::digit(6)>), "i"(constant<W::digit(7)>), "i"(constant<W::digit(8)>),
                 "i"(constant<W::digit(9)>), "i"(constant<static_cast<int>((W::bytes + 3) / 4 * 4)>));
    (emit_words<Source, R, C>(), ...);
}

template <class Source, std::size_t... R>
[[gnu::always_inline]] inline void emit_all(std::index_sequence<R...>) {
    (emit_record<Source, R>(std::make_index_sequence<RecordWords<Source, R>::padded / 32>{}), ...);
}

// Never called: its code is the records. Referencing it is enough to place them.
template <class Source>
[[gnu::used, gnu::noinline, gnu::noclone]] void emit_records() {
    static_assert(Source::records.size == Source::records.capacity);
    emit_all<Source>(std::make_index_sequence<Source::records.size>{});
}

#undef OSTRILO_RECORD_SECTION
#undef OSTRILO_RECORD_NAME

}  // namespace ostrilo
