#pragma once
// The structured text of a lattice: Lattice { width: .., ..., rng: StdRng(..) }.

#include <string>

#include "model/lattice.hpp"

namespace spinlattice::binding {

// Shortest round-trip digits; positional for 0 and 1e-4 <= |x| < 1e16, else
// scientific ("1e16", "2.5e-5"); "NaN", "inf", "-inf"; "-0.0" keeps its sign.
void append_number_text(std::string& out, double x);

std::string lattice_text(const model::Lattice& lattice);

}  // namespace spinlattice::binding
