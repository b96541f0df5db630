// Introspection records: exported read-only data describing the module's Python
// surface for stub generators, written from the surface table. Nothing reads
// them at run time; they are built entirely at compile time and land in .rodata.
//
// Each symbol SPINLATTICE_INTROSPECTION_<k> holds a 4-byte little-endian length L,
// L bytes of compact JSON (one object) and zero padding to a multiple of 4.
// Shapes: every object lists its keys in sorted order. Expressions follow the
// fields of Python's ast nodes: a name is {"id","type":"name"}, an attribute
// {"attr","type":"attribute","value"}, a subscript {"slice","type":"subscript",
// "value"}, a union {"left","op":"BitOr","right","type":"binop"}; a reference to another record is {"id","type":"id"}. An id is the
// decimal number <k> of the symbol holding that record (module 0, class 1, then
// row r of the table at 2 + r), and a function's "parent" is its class's id. An
// argument is {"annotation","name"}; self and cls are {"name"} only.

#include <cstddef>
#include <string_view>

#include "binding/export.hpp"
#include "binding/lattice_surface.hpp"

namespace spinlattice::binding {
namespace {

constexpr std::string_view kModuleId = "0";
constexpr std::string_view kClassId = "1";

// Expressions; `value` writes the inner expression.
constexpr void name(auto& put, std::string_view id) {
    put(R"({"id":")");
    put(id);
    put(R"(","type":"name"})");
}
constexpr void attribute(auto& put, auto value, std::string_view attr) {
    put(R"({"attr":")");
    put(attr);
    put(R"(","type":"attribute","value":)");
    value(put);
    put("}");
}
constexpr void builtins(auto& put) { name(put, "builtins"); }
constexpr void class_reference(auto& put) {
    put(R"({"id":")");
    put(kClassId);
    put(R"(","type":"id"})");
}

constexpr void annotation(auto& put, Annotation a) {
    const auto builtin = [&](std::string_view attr) { attribute(put, [](auto& p) { builtins(p); }, attr); };
    switch (a) {
        case Annotation::Int: return builtin("int");
        case Annotation::Float: return builtin("float");
        case Annotation::Str: return builtin("str");
        case Annotation::ListOfInt:
            put(R"({"slice":)");
            builtin("int");
            put(R"(,"type":"subscript","value":)");
            builtin("list");
            return put("}");
        case Annotation::None: return name(put, "None");
        case Annotation::Class: return class_reference(put);
        case Annotation::Bytes: return builtin("bytes");
        case Annotation::Spins:  // typing_extensions.Buffer | collections.abc.Sequence[builtins.int]
            put(R"({"left":)");
            attribute(put, [](auto& p) { name(p, "typing_extensions"); }, "Buffer");
            put(R"(,"op":"BitOr","right":{"slice":)");
            builtin("int");
            put(R"(,"type":"subscript","value":)");
            attribute(put, [](auto& p) { attribute(p, [](auto& q) { name(q, "collections"); }, "abc"); }, "Sequence");
            put(R"(},"type":"binop"})");
            return;
    }
}

// The receiver (self or cls) is positional-only, the rest are positional-or-keyword;
// "args" is left out when there are none.
constexpr void arguments(auto& put, const auto& r) {
    put("{");
    if (!r.parameters.empty()) {
        put(R"("args":[)");
        for (std::size_t i = 0; i < r.parameters.size(); ++i) {
            put(i ? R"(,{"annotation":)" : R"({"annotation":)");
            annotation(put, r.parameters[i].annotation);
            put(R"(,"name":")");
            put(r.parameters[i].name);
            put(R"("})");
        }
        put("],");
    }
    put(R"("posonlyargs":[{"name":")");
    put(r.convention == Convention::constructor ? "cls" : "self");
    put(R"("}]})");
}

// A getter is decorated with property, a setter with Lattice.<name>.setter.
constexpr void decorators(auto& put, const auto& r) {
    if (r.convention == Convention::getter) {
        put(R"("decorators":[)");
        name(put, "property");
        put("],");
    } else if (r.convention == Convention::setter) {
        put(R"("decorators":[)");
        const auto property = [&r](auto& p) { attribute(p, [](auto& q) { class_reference(q); }, r.name); };
        attribute(put, property, "setter");
        put("],");
    }
}

constexpr void function_record(auto& put, const auto& r) {
    put(R"({"arguments":)");
    arguments(put, r);
    put(",");
    decorators(put, r);
    put(R"("name":")");
    put(r.name);
    put(R"(","parent":")");
    put(kClassId);
    put(R"(","returns":)");
    annotation(put, r.returns);
    put(R"(,"type":"function"})");
}

constexpr auto kModuleRecord = build_text([](auto& put) {
    put(R"({"id":")");
    put(kModuleId);
    put(R"(","incomplete":true,"members":[],"name":"spinlattice","type":"module"})");
});

constexpr auto kClassRecord = build_text([](auto& put) {
    put(R"({"decorators":[)");
    attribute(put, [](auto& p) { name(p, "typing"); }, "final");
    put(R"(],"id":")");
    put(kClassId);
    put(R"(","name":")");
    put(kClassName);
    put(R"(","type":"class"})");
});

template <std::size_t I>
constexpr auto kFunctionRecord = build_text([](auto& put) { function_record(put, row_at<I>); });

// The encoded record: length prefix, JSON, zero padding.
template <std::size_t L>
struct alignas(4) Record {
    unsigned char bytes[4 + (L + 3) / 4 * 4];
};

template <std::size_t L>
constexpr Record<L> encode(const FixedText<L>& json) {
    static_assert(L <= 0xFFFFFFFFu, "length must fit the 32-bit prefix");
    Record<L> r{};
    r.bytes[0] = static_cast<unsigned char>(L & 0xFF);
    r.bytes[1] = static_cast<unsigned char>((L >> 8) & 0xFF);
    r.bytes[2] = static_cast<unsigned char>((L >> 16) & 0xFF);
    r.bytes[3] = static_cast<unsigned char>((L >> 24) & 0xFF);
    for (std::size_t i = 0; i < L; ++i) {
        const char ch = json.chars[i];
        // Readers expect compact JSON; a stray space or terminator is a typo here.
        if (ch == ' ' || ch == '\n' || ch == '\t' || ch == '\r' || ch == '\0') throw "not compact JSON";
        r.bytes[4 + i] = static_cast<unsigned char>(ch);
    }
    return r;
}

template <std::size_t K>
constexpr auto record() {
    if constexpr (K == 0) return encode(kModuleRecord);
    else if constexpr (K == 1) return encode(kClassRecord);
    else return encode(kFunctionRecord<K - 2>);
}

}  // namespace
}  // namespace spinlattice::binding

// Symbol names can't be computed in C++: the build lists one SPINLATTICE_RECORD
// line per record, counted from the table (cmake/surface.cmake).
#define SPINLATTICE_RECORD(k)                                                                    \
    extern "C" SPINLATTICE_EXPORT __attribute__((used)) constexpr auto SPINLATTICE_INTROSPECTION_##k = \
        spinlattice::binding::record<k>();

#include "introspection_records.inc"

static_assert(SPINLATTICE_RECORD_COUNT == 2 + spinlattice::binding::kCallableCount,
              "the generated records are not one per table row: configure again");
