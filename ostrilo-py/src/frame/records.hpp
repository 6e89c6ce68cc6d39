#pragma once
// The interface records: one exported, read-only symbol per module, class and Python-visible
// function, "PYO3_INTROSPECTION_1_<number>", holding a 32-bit little-endian length, one compact
// JSON object and zero padding to a multiple of four bytes. Stub generators read them out of
// the library file. The tables build the JSON at compile time from the same entries that build
// the classes, and emit_records() places it in the library.
#include <array>
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

// ,"default":"1e-09" for a parameter that may be left out: the Python literal of its default.
template <class A>
constexpr void add_default(Json& j) {
    if constexpr (HasDefault<A>) {
        j.add(R"(,"default":")");
        j.add(CasterOf<A>::default_text);
        j.add('"');
    }
}

// The parameters of a function as the records list them: {"name":..,"annotation":..},...
template <class Args>
constexpr Json parameters_json(const char* const* names) {
    Json j;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((j.add(I == 0 ? "" : ","), j.add(R"({"name":")"), j.add(names[I]), j.add(R"(","annotation":)"),
          j.add(CasterOf<std::tuple_element_t<I, Args>>::annotation()), add_default<std::tuple_element_t<I, Args>>(j),
          j.add('}')),
         ...);
    }(std::make_index_sequence<std::tuple_size_v<Args>>{});
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
// size, its words), so it needs no relocation and works the same on every target. Each table
// emits its records from the one source that defines its class (or, for modules, the entry point).

template <class Source, std::size_t R>
struct RecordWords {
    static constexpr const Record& record = Source::records.items[R];
    static constexpr std::size_t bytes = 4 + record.json.size;  // length, then the text
    static constexpr std::size_t count = (bytes + 3) / 4;
    // The words as the target stores them, as signed values for the assembler.
    static constexpr std::array<std::int32_t, count> words = [] {
        std::array<std::int32_t, count> out{};
        for (std::size_t k = 0; k < count; ++k) {
            std::uint32_t w = 0;
            for (std::size_t b = 0; b < 4; ++b) {
                const std::size_t i = 4 * k + b;
                const auto byte = static_cast<unsigned char>(i < 4       ? record.json.size >> (8 * i)
                                                             : i < bytes ? record.json.data[i - 4]
                                                                         : 0);
                w |= static_cast<std::uint32_t>(byte)
                     << (std::endian::native == std::endian::little ? 8 * b : 8 * (3 - b));
            }
            out[k] = static_cast<std::int32_t>(w);
        }
        return out;
    }();
    // The number in decimal: the leading digits, then the last ten one by one.
    static constexpr int lead = static_cast<int>(record.number / 10'000'000'000ULL);
    static_assert(lead > 0, "record numbers have more than ten digits");
    static constexpr std::array<int, 10> digits = [] {
        std::array<int, 10> out{};
        std::uint64_t low = record.number % 10'000'000'000ULL;
        for (int k = 9; k >= 0; --k, low /= 10) out[static_cast<std::size_t>(k)] = static_cast<int>(low % 10);
        return out;
    }();
};

// Where the records go and how each becomes an exported data symbol, per object format. ELF
// gives the symbol a type and a size. Mach-O has neither, and C names there begin with an
// underscore. PE exports only what the linker is told to: each record tells it itself through
// the directive section, in the spelling the compiler uses for dllexport. On Mach-O and PE the
// records have a section of their own, so that the last one's extent is where the section ends.
#define OSTRILO_RECORD_NAME "PYO3_INTROSPECTION_1_%c0%c1%c2%c3%c4%c5%c6%c7%c8%c9%c10"
#if defined(__APPLE__)
#define OSTRILO_RECORD_SECTION ".pushsection __TEXT,__ostrilo_rec\n\t"
#define OSTRILO_RECORD_DEFINE ".globl _" OSTRILO_RECORD_NAME "\n_" OSTRILO_RECORD_NAME ":\n\t.popsection"
#elif defined(_WIN32)
#if defined(_MSC_VER)
#define OSTRILO_RECORD_EXPORT "/EXPORT:" OSTRILO_RECORD_NAME ",DATA"
#else
#define OSTRILO_RECORD_EXPORT "-export:" OSTRILO_RECORD_NAME ",data"
#endif
#define OSTRILO_RECORD_SECTION ".pushsection .ostrrec,\"dr\"\n\t"
#define OSTRILO_RECORD_DEFINE                              \
    ".globl " OSTRILO_RECORD_NAME "\n" OSTRILO_RECORD_NAME \
    ":\n\t.popsection\n\t"                                 \
    ".pushsection .drectve,\"yn\"\n\t.ascii \" " OSTRILO_RECORD_EXPORT "\"\n\t.popsection"
#else
#define OSTRILO_RECORD_SECTION ".pushsection .rodata.ostrilo_records,\"a\"\n\t"
#define OSTRILO_RECORD_DEFINE                                                                                 \
    ".globl " OSTRILO_RECORD_NAME "\n\t.type " OSTRILO_RECORD_NAME ", %%object\n\t.size " OSTRILO_RECORD_NAME \
    ", %c11\n" OSTRILO_RECORD_NAME ":\n\t.popsection"
#endif
#define OSTRILO_W(k) "i"(W::words[At + k])

// Words [At, At + Left) of a record, at most sixteen to one statement.
template <class W, std::size_t At, std::size_t Left>
[[gnu::always_inline]] inline void emit_words() {
    if constexpr (Left >= 16) {
        asm volatile(
            OSTRILO_RECORD_SECTION
            ".4byte %c0,%c1,%c2,%c3,%c4,%c5,%c6,%c7,%c8,%c9,%c10,%c11,%c12,%c13,%c14,%c15\n\t.popsection" ::OSTRILO_W(
                0),
            OSTRILO_W(1), OSTRILO_W(2), OSTRILO_W(3), OSTRILO_W(4), OSTRILO_W(5), OSTRILO_W(6), OSTRILO_W(7),
            OSTRILO_W(8), OSTRILO_W(9), OSTRILO_W(10), OSTRILO_W(11), OSTRILO_W(12), OSTRILO_W(13), OSTRILO_W(14),
            OSTRILO_W(15));
        emit_words<W, At + 16, Left - 16>();
    } else if constexpr (Left >= 4) {
        asm volatile(OSTRILO_RECORD_SECTION ".4byte %c0,%c1,%c2,%c3\n\t.popsection" ::OSTRILO_W(0), OSTRILO_W(1),
                     OSTRILO_W(2), OSTRILO_W(3));
        emit_words<W, At + 4, Left - 4>();
    } else if constexpr (Left >= 1) {
        asm volatile(OSTRILO_RECORD_SECTION ".4byte %c0\n\t.popsection" ::OSTRILO_W(0));
        emit_words<W, At + 1, Left - 1>();
    }
}

// The symbol of record R: its label, then its words.
template <class Source, std::size_t R>
[[gnu::always_inline]] inline void emit_record() {
    using W = RecordWords<Source, R>;
    asm volatile(OSTRILO_RECORD_SECTION ".balign 4\n\t" OSTRILO_RECORD_DEFINE ::"i"(W::lead), "i"(W::digits[0]),
                 "i"(W::digits[1]), "i"(W::digits[2]), "i"(W::digits[3]), "i"(W::digits[4]), "i"(W::digits[5]),
                 "i"(W::digits[6]), "i"(W::digits[7]), "i"(W::digits[8]), "i"(W::digits[9]),
                 "i"(static_cast<int>(4 * W::count)));
    emit_words<W, 0, W::count>();
}

template <class Source, std::size_t... R>
[[gnu::always_inline]] inline void emit_all(std::index_sequence<R...>) {
    (emit_record<Source, R>(), ...);
}

// Never called: its code is the records. Referencing it is enough to place them. GCC must not
// clone it either (a clone would place the records twice); clang has no such pass or attribute.
#if defined(__clang__)
#define OSTRILO_RECORDS_FUNCTION [[gnu::used, gnu::noinline]]
#else
#define OSTRILO_RECORDS_FUNCTION [[gnu::used, gnu::noinline, gnu::noclone]]
#endif
template <class Source>
OSTRILO_RECORDS_FUNCTION void emit_records() {
    static_assert(Source::records.size == Source::records.capacity);
    emit_all<Source>(std::make_index_sequence<Source::records.size>{});
}

#undef OSTRILO_RECORD_SECTION
#undef OSTRILO_RECORD_DEFINE
#undef OSTRILO_RECORD_EXPORT
#undef OSTRILO_RECORD_NAME
#undef OSTRILO_W

}  // namespace ostrilo
