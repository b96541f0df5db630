// The stub (stubs/spinlattice.pyi) declares the surface of the table, checked
// when the module is compiled: every row's signature appears in it exactly
// once, as its annotations read there, and it declares nothing else in the
// class. A row added without its stub entry, or a changed signature, stops
// the build. This file holds no code.

#include <cstddef>
#include <string_view>

#include "binding/lattice_surface.hpp"
#include "stub_lines.hpp"

namespace spinlattice::binding {
namespace {

// How the stub spells an annotation (its imports are Buffer and Sequence).
constexpr std::string_view stub_annotation(Annotation a) {
    switch (a) {
        case Annotation::Int: return "int";
        case Annotation::Float: return "float";
        case Annotation::Str: return "str";
        case Annotation::ListOfInt: return "list[int]";
        case Annotation::None: return "None";
        case Annotation::Class: return kClassName;
        case Annotation::Bytes: return "bytes";
        case Annotation::Spins: return "Buffer | Sequence[int]";
    }
    return "?";
}

// A row's def line in the class, up to the colon after the return annotation.
template <std::size_t I>
inline constexpr auto definition = build_text([](auto& put) {
    const auto& r = row_at<I>;
    put("def ");
    put(r.convention == Convention::constructor ? "__new__" : r.name);
    put(r.convention == Convention::constructor ? "(cls, /" : "(self, /");
    for (const Parameter& p : r.parameters) {
        put(", ");
        put(p.name);
        put(": ");
        put(stub_annotation(p.annotation));
    }
    put(") -> ");
    put(stub_annotation(r.returns));
    put(":");
});

// The decorator line a row's def needs right above it, or "" for none.
template <std::size_t I>
inline constexpr auto decorator = build_text([](auto& put) {
    const auto& r = row_at<I>;
    if (r.convention == Convention::getter) put("@property");
    if (r.convention == Convention::setter) {
        put("@");
        put(r.name);
        put(".setter");
    }
});

// Whether `line` is the def `head` (a stub def may go on, as in "-> None: ...").
constexpr bool defines(std::string_view line, std::string_view head) {
    return line.substr(0, head.size()) == head && (line.size() == head.size() || line[head.size()] == ' ');
}

constexpr std::size_t kLines = sizeof(kStubLines) / sizeof(kStubLines[0]);

// Exactly one def line of the stub is the row's, with the row's decorator above it (or none).
template <std::size_t I>
constexpr bool declared_once() {
    const std::string_view head(definition<I>.c_str()), above(decorator<I>.c_str());
    std::size_t found = 0;
    for (std::size_t k = 0; k < kLines; ++k) {
        if (!defines(kStubLines[k], head)) continue;
        const bool decorated = k > 0 && kStubLines[k - 1].starts_with("@");
        found += above.empty() ? !decorated : (decorated && kStubLines[k - 1] == above);
    }
    return found == 1;
}

constexpr bool every_row_declared_once = []<std::size_t... I>(std::index_sequence<I...>) {
    return (declared_once<I>() && ...);
}(std::make_index_sequence<kCallableCount>());

constexpr std::size_t definitions() {
    std::size_t count = 0;
    for (std::string_view line : kStubLines) count += line.starts_with("def ");
    return count;
}

static_assert(every_row_declared_once, "a row of the surface table is not declared in the stub as it is in the table");
static_assert(definitions() == kCallableCount, "the stub declares members that the surface table lacks");

}  // namespace
}  // namespace spinlattice::binding
