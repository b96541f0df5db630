#pragma once
// The Lattice class as Python sees it, one row per callable. The method and
// property tables, the binder's descriptions, the docstrings and the exported
// introspection records are all built from this table (the records' symbols
// by cmake/surface.cmake), and the stub is checked against it at compile time
// (stub_check.cpp); a new callable is a new row here, its operation in the
// model where it needs one, and its entry in stubs/spinlattice.pyi.

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <string_view>
#include <tuple>

#include "binding/callable.hpp"
#include "binding/repr.hpp"
#include "model/metropolis.hpp"
#include "model/observables.hpp"
#include "model/wolff.hpp"

namespace spinlattice::binding {

// Fixed names (fixed_texts.hpp): the class's name, and the module part of its
// qualified name (the class belongs to no module of its own); the names in the table below.
inline constexpr std::string_view kClassName = "Lattice";
inline constexpr std::string_view kClassModule = "builtins";

namespace surface {
using model::Lattice;
using enum Convention;
using enum Borrow;
using enum Annotation;
using u64 = std::uint64_t;

// Row order is the order of the records, of the method table and of the property table.
inline constexpr auto kLatticeSurface = std::tuple{
    callable("__new__", constructor, none,
             {{"width", Int}, {"height", Int}, {"temperature", Float}, {"h_z", Float}}, Class,
             [](u64 width, u64 height, double temperature, double h_z) {
                 return Lattice::create(width, height, temperature, h_z);
             }),
    callable("__repr__", representation, shared, Str, [](const Lattice& l) { return lattice_text(l); }),
    callable("flat_to_idx", fast_call, shared, {{"flat_idx", Int}}, ListOfInt,
             [](const Lattice& l, u64 k) { return l.flat_to_idx(k); }),
    callable("idx_to_flat", fast_call, shared, {{"row", Int}, {"col", Int}}, Int,
             [](const Lattice& l, u64 row, u64 col) { return l.idx_to_flat(row, col); }),
    callable("get_nearest_neighbors", fast_call, shared, {{"flat_idx", Int}}, ListOfInt,
             [](const Lattice& l, u64 k) { return l.neighbour_list(k); }),
    callable("get_energy", no_arguments, shared, Float, [](const Lattice& l) { return model::energy(l); }),
    callable("get_energy_diff_from_flip", fast_call, shared, {{"flat_idx", Int}}, Float,
             [](const Lattice& l, u64 k) { return model::flip_energy_difference(l, k); }),
    callable("simulation_step", no_arguments, exclusive, None, [](Lattice& l) { model::simulation_step(l); }),
    callable("wolff_step", no_arguments, exclusive, None, [](Lattice& l) { model::wolff_step(l); }),
    callable("get_total_magnetization", no_arguments, shared, Float,
             [](const Lattice& l) { return model::total_magnetization(l); }),
    callable("average_magnetization", no_arguments, shared, Float,
             [](const Lattice& l) { return model::average_magnetization(l); }),
    callable("as_array", no_arguments, shared, ListOfInt, [](const Lattice& l) -> const model::SpinField& {
        return l.sites;
    }),
    callable("simulation_steps", batch, exclusive, {{"count", Int}}, Int,
             [](Lattice& l, u64 count, u64 work, model::RunTally& tally) {
                 model::simulation_steps(l, count, work, tally);
             })
        .described("Make count single-spin Metropolis updates; return how many flipped."),
    callable("wolff_steps", batch, exclusive, {{"count", Int}}, Int,
             [](Lattice& l, u64 count, u64 work, model::RunTally& tally) {
                 model::wolff_steps(l, count, work, tally);
             })
        .described("Make count Wolff cluster updates; return how many spins they flipped."),
    callable("as_bytes", no_arguments, shared, Bytes, [](const Lattice& l) -> const model::SpinField& {
        return l.sites;
    }).described("The spins as bytes, one signed byte per site in site-index order."),
    callable("set_spins", fast_call, exclusive, {{"spins", Spins}}, None,
             [](Lattice& l, model::SpinField spins) { l.set_spins(std::move(spins)); })
        .described("Replace every spin: one 1 or -1 per site, as a buffer of integers or a sequence of ints."),
    callable("width", getter, shared, Int, [](const Lattice& l) { return l.width; }),
    callable("height", getter, shared, Int, [](const Lattice& l) { return l.height; }),
    callable("temperature", getter, shared, Float, [](const Lattice& l) { return l.temperature(); }),
    callable("h_z", getter, shared, Float, [](const Lattice& l) { return l.h_z(); }),
    callable("temperature", setter, exclusive, {{"value", Float}}, None,
             [](Lattice& l, double value) { l.set_temperature(value); }),
    callable("h_z", setter, exclusive, {{"value", Float}}, None, [](Lattice& l, double value) { l.set_h_z(value); }),
};
}  // namespace surface

using surface::kLatticeSurface;
inline constexpr std::size_t kCallableCount = std::tuple_size_v<std::remove_cvref_t<decltype(kLatticeSurface)>>;

template <std::size_t I>
inline constexpr const auto& row_at = std::get<I>(kLatticeSurface);

// The indices of the rows whose convention passes `keep`, in table order.
template <class Keep>
constexpr auto rows_where(Keep) {
    constexpr std::size_t count = [] {
        std::size_t n = 0;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((n += Keep{}(row_at<I>.convention)), ...);
        }(std::make_index_sequence<kCallableCount>());
        return n;
    }();
    std::array<std::size_t, count> found{};
    std::size_t at = 0;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((Keep{}(row_at<I>.convention) ? void(found[at++] = I) : void()), ...);
    }(std::make_index_sequence<kCallableCount>());
    return found;
}

// The one row of a convention that the class has exactly once.
template <Convention C>
constexpr std::size_t only_row() {
    constexpr auto found = rows_where([](Convention c) { return c == C; });
    static_assert(found.size() == 1);
    return found[0];
}

// The index of the setter row of property `name`, or kCallableCount if it has none.
constexpr std::size_t setter_of(std::string_view name) {
    std::size_t found = kCallableCount;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((row_at<I>.convention == Convention::setter && row_at<I>.name == name ? void(found = I) : void()), ...);
    }(std::make_index_sequence<kCallableCount>());
    return found;
}

// "Lattice.<name>()", the prefix of the binder's messages.
template <std::size_t I>
inline constexpr auto full_name = build_text([](auto& put) {
    put(kClassName);
    put(".");
    put(row_at<I>.name);
    put("()");
});

// The docstring is the text signature, "name($self, a, b)\n--\n\n" (for the
// class "Lattice(a, b)\n--\n\n"), then the row's summary, if any.
template <std::size_t I>
inline constexpr auto docstring = build_text([](auto& put) {
    const auto& r = row_at<I>;
    const bool for_class = r.convention == Convention::constructor;
    put(for_class ? kClassName : r.name);
    put(for_class ? "(" : "($self");
    for (std::size_t i = 0; i < r.parameters.size(); ++i) {
        if (i > 0 || !for_class) put(", ");
        put(r.parameters[i].name);
    }
    put(")\n--\n\n");
    put(r.summary);
});

}  // namespace spinlattice::binding
