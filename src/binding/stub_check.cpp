// The stub (stubs/spinlattice.pyi) declares the surface of the table, checked
// when the module is compiled: every row's signature appears in it exactly
// once, as its annotations read there, and it declares nothing else in the
// class. A row added without its stub entry, or a changed signature, stops
// the build. This file holds no code.

#include <cstddef>
#include <string_view>

#include "binding/lattice_surface.hpp"
#include "stub_text.hpp"

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

// A row's declaration in the class, from its decorator (if any) to the colon after the return annotation.
template <std::size_t I>
inline constexpr auto declaration = build_text([](auto& put) {
    const auto& r = row_at<I>;
    if (r.convention == Convention::getter) put("@property\n    ");
    if (r.convention == Convention::setter) {
        put("@");
        put(r.name);
        put(".setter\n    ");
    }
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

constexpr std::size_t occurrences(std::string_view text, std::string_view part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

template <std::size_t I>
constexpr bool declared_once() {
    return occurrences(kStubText, std::string_view(declaration<I>.c_str())) == 1;
}

constexpr bool every_row_declared_once = []<std::size_t... I>(std::index_sequence<I...>) {
    return (declared_once<I>() && ...);
}(std::make_index_sequence<kCallableCount>());

static_assert(every_row_declared_once, "a row of the surface table is not declared in the stub as it is in the table");
static_assert(occurrences(kStubText, "\n    def ") == kCallableCount,
              "the stub declares members that the surface table lacks");

}  // namespace
}  // namespace spinlattice::binding
