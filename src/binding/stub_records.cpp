// Introspection records: exported read-only data describing the module's Python
// surface for stub generators. Nothing reads them at run time; they are built
// entirely at compile time and land in .rodata.
//
// Each symbol SPINLATTICE_INTROSPECTION_<k> holds a 4-byte little-endian length L,
// L bytes of compact JSON (one object) and zero padding to a multiple of 4.
// Shapes: every object lists its keys in sorted order. Expressions follow the
// fields of Python's ast nodes: a name is {"id","type":"name"}, an attribute
// {"attr","type":"attribute","value"}, a subscript {"slice","type":"subscript",
// "value"}; a reference to another record is {"id","type":"id"}. An id is the
// decimal number <k> of the symbol holding that record (module 0, class 1), and a
// function's "parent" is its class's id. An argument is {"annotation","name"};
// self and cls are {"name"} only.

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace {

// A fixed-length piece of JSON text (no terminator counted in N).
template <std::size_t N>
struct Text {
    char c[N + 1]{};
};

template <class T>
struct length_of;
template <std::size_t M>
struct length_of<char[M]> {
    static constexpr std::size_t value = M - 1;  // drop the literal's terminator
};
template <std::size_t N>
struct length_of<Text<N>> {
    static constexpr std::size_t value = N;
};

template <std::size_t M>
constexpr const char* chars(const char (&s)[M]) { return s; }
template <std::size_t N>
constexpr const char* chars(const Text<N>& t) { return t.c; }

// Concatenates string literals and Text pieces into one Text.
template <class... P>
constexpr auto join(const P&... parts) {
    Text<(length_of<P>::value + ... + 0)> out{};
    std::size_t at = 0;
    auto put = [&](const auto& part) {
        constexpr std::size_t n = length_of<std::remove_cvref_t<decltype(part)>>::value;
        const char* s = chars(part);
        for (std::size_t i = 0; i < n; ++i) out.c[at++] = s[i];
    };
    (put(parts), ...);
    return out;
}

template <class... E>
constexpr auto list(const E&... items) {
    if constexpr (sizeof...(items) == 0) {
        return join("[]");
    } else {
        return [](const auto& first, const auto&... rest) {
            return join("[", first, join(",", rest)..., "]");
        }(items...);
    }
}

// Expressions.
constexpr auto name(const auto& id) { return join(R"({"id":")", id, R"(","type":"name"})"); }
constexpr auto attribute(const auto& value, const auto& attr) {
    return join(R"({"attr":")", attr, R"(","type":"attribute","value":)", value, "}");
}
constexpr auto subscript(const auto& value, const auto& slice) {
    return join(R"({"slice":)", slice, R"(,"type":"subscript","value":)", value, "}");
}
constexpr auto reference(const auto& id) { return join(R"({"id":")", id, R"(","type":"id"})"); }

constexpr char kModuleId[] = "0";
constexpr char kClassId[] = "1";

constexpr auto kInt = attribute(name("builtins"), "int");
constexpr auto kFloat = attribute(name("builtins"), "float");
constexpr auto kStr = attribute(name("builtins"), "str");
constexpr auto kListOfInt = subscript(attribute(name("builtins"), "list"), kInt);
constexpr auto kNone = name("None");
constexpr auto kLattice = reference(kClassId);

// Arguments: the receiver (self or cls) is positional-only, the rest are
// positional-or-keyword; "args" is left out when there are none.
constexpr auto arg(const auto& arg_name, const auto& annotation) {
    return join(R"({"annotation":)", annotation, R"(,"name":")", arg_name, R"("})");
}
template <std::size_t M, class... A>
constexpr auto arguments(const char (&receiver)[M], const A&... args) {
    if constexpr (sizeof...(args) == 0) {
        return join(R"({"posonlyargs":[{"name":")", receiver, R"("}]})");
    } else {
        return join(R"({"args":)", list(args...), R"(,"posonlyargs":[{"name":")", receiver,
                    R"("}]})");
    }
}

constexpr auto method(const auto& fn_name, const auto& args, const auto& returns) {
    return join(R"({"arguments":)", args, R"(,"name":")", fn_name, R"(","parent":")", kClassId,
                R"(","returns":)", returns, R"(,"type":"function"})");
}
constexpr auto decorated(const auto& fn_name, const auto& args, const auto& decorator,
                         const auto& returns) {
    return join(R"({"arguments":)", args, R"(,"decorators":)", list(decorator), R"(,"name":")",
                fn_name, R"(","parent":")", kClassId, R"(","returns":)", returns,
                R"(,"type":"function"})");
}
constexpr auto getter(const auto& prop, const auto& type) {
    return decorated(prop, arguments("self"), name("property"), type);
}
constexpr auto setter(const auto& prop, const auto& type) {
    return decorated(prop, arguments("self", arg("value", type)),
                     attribute(attribute(kLattice, prop), "setter"), kNone);
}

constexpr auto kModuleRecord = join(R"({"id":")", kModuleId,
                                    R"(","incomplete":true,"members":[],"name":"spinlattice","type":"module"})");
constexpr auto kClassRecord = join(R"({"decorators":)", list(attribute(name("typing"), "final")),
                                   R"(,"id":")", kClassId, R"(","name":"Lattice","type":"class"})");

constexpr auto self_only = arguments("self");
constexpr auto self_flat_idx = arguments("self", arg("flat_idx", kInt));

// The encoded record: length prefix, JSON, zero padding.
template <std::size_t L>
struct alignas(4) Record {
    unsigned char bytes[4 + (L + 3) / 4 * 4];
};

template <std::size_t L>
constexpr Record<L> encode(const Text<L>& json) {
    static_assert(L <= 0xFFFFFFFFu, "length must fit the 32-bit prefix");
    Record<L> r{};
    r.bytes[0] = static_cast<unsigned char>(L & 0xFF);
    r.bytes[1] = static_cast<unsigned char>((L >> 8) & 0xFF);
    r.bytes[2] = static_cast<unsigned char>((L >> 16) & 0xFF);
    r.bytes[3] = static_cast<unsigned char>((L >> 24) & 0xFF);
    for (std::size_t i = 0; i < L; ++i) {
        const char ch = json.c[i];
        // Readers expect compact JSON; a stray space or terminator is a typo here.
        if (ch == ' ' || ch == '\n' || ch == '\t' || ch == '\r' || ch == '\0') throw "not compact JSON";
        r.bytes[4 + i] = static_cast<unsigned char>(ch);
    }
    return r;
}

}  // namespace

#define SPINLATTICE_RECORD extern "C" __attribute__((visibility("default"), used)) constexpr auto

SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_0 = encode(kModuleRecord);
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_1 = encode(kClassRecord);
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_2 = encode(method(
    "__new__",
    arguments("cls", arg("width", kInt), arg("height", kInt), arg("temperature", kFloat),
              arg("h_z", kFloat)),
    kLattice));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_3 = encode(method("__repr__", self_only, kStr));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_4 = encode(method("flat_to_idx", self_flat_idx, kListOfInt));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_5 = encode(
    method("idx_to_flat", arguments("self", arg("row", kInt), arg("col", kInt)), kInt));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_6 =
    encode(method("get_nearest_neighbors", self_flat_idx, kListOfInt));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_7 = encode(method("get_energy", self_only, kFloat));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_8 =
    encode(method("get_energy_diff_from_flip", self_flat_idx, kFloat));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_9 = encode(method("simulation_step", self_only, kNone));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_10 = encode(method("wolff_step", self_only, kNone));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_11 =
    encode(method("get_total_magnetization", self_only, kFloat));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_12 =
    encode(method("average_magnetization", self_only, kFloat));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_13 = encode(method("as_array", self_only, kListOfInt));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_14 = encode(getter("width", kInt));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_15 = encode(getter("height", kInt));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_16 = encode(getter("temperature", kFloat));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_17 = encode(getter("h_z", kFloat));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_18 = encode(setter("temperature", kFloat));
SPINLATTICE_RECORD SPINLATTICE_INTROSPECTION_19 = encode(setter("h_z", kFloat));
