#pragma once
// The vocabulary of the surface table (lattice_surface.hpp): what a row says
// of one Python-visible callable (its convention, borrow, parameters with
// their annotations, result and operation), and build_text, which makes
// compile-time text from a writer; the names, docstrings, records and the
// stub check are written with it where they are used. Plain C++: the rows
// carry no interpreter types.

#include <array>
#include <cstddef>
#include <string_view>

namespace spinlattice::binding {

// How the interpreter calls the row's wrapper. A batch is a fast call whose
// operation makes a run of updates in slices, the interpreter let go of
// between checks for signals (binding/run_in_slices.hpp).
enum class Convention { constructor, representation, fast_call, no_arguments, getter, setter, batch };

// Which borrow of the object's flag the wrapper holds around the operation.
enum class Borrow { none, shared, exclusive };

// A Python annotation; for parameters it also picks the argument conversion,
// for results the result conversion. Class: the class itself; Bytes: the spin
// field as bytes; Spins: a spin field given as a buffer or a sequence of ints.
enum class Annotation { Int, Float, Str, ListOfInt, None, Class, Bytes, Spins };

struct Parameter {
    std::string_view name;
    Annotation annotation;
};

// Names are string literals, so name.data() is NUL-terminated as the interpreter's tables need.
template <std::size_t N, class Operation>
struct Callable {
    std::string_view name;
    Convention convention;
    Borrow borrow;
    std::array<Parameter, N> parameters;  // after self or cls
    Annotation returns;
    Operation operation;
    // Text after the signature in the docstring; the first members have none.
    std::string_view summary = {};

    constexpr Callable described(std::string_view text) const {
        Callable row = *this;
        row.summary = text;
        return row;
    }
};

template <std::size_t N, class Operation>
constexpr Callable<N, Operation> callable(std::string_view name, Convention convention, Borrow borrow,
                                          const Parameter (&parameters)[N], Annotation returns,
                                          Operation operation) {
    Callable<N, Operation> row{name, convention, borrow, {}, returns, operation};
    for (std::size_t i = 0; i < N; ++i) row.parameters[i] = parameters[i];
    return row;
}

template <class Operation>
constexpr Callable<0, Operation> callable(std::string_view name, Convention convention, Borrow borrow,
                                          Annotation returns, Operation operation) {
    return {name, convention, borrow, {}, returns, operation};
}

// A NUL-terminated text whose length is fixed at compile time.
template <std::size_t N>
struct FixedText {
    char chars[N + 1]{};
    constexpr const char* c_str() const noexcept { return chars; }
};

// Text is written twice through the same writer: once to count, once to fill.
struct CountingSink {
    std::size_t size = 0;
    constexpr void operator()(std::string_view piece) noexcept { size += piece.size(); }
};

template <std::size_t N>
struct FillingSink {
    FixedText<N> text{};
    std::size_t at = 0;
    constexpr void operator()(std::string_view piece) noexcept {
        for (char c : piece) text.chars[at++] = c;
    }
};

// Writer: a captureless callable taking a sink; the result holds exactly what it writes.
template <class Writer>
constexpr auto build_text(Writer) {
    constexpr std::size_t size = [] {
        CountingSink count;
        Writer{}(count);
        return count.size;
    }();
    FillingSink<size> fill;
    Writer{}(fill);
    return fill.text;
}

}  // namespace spinlattice::binding
