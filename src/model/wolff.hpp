#pragma once
#include "model/lattice.hpp"

namespace spinlattice::model {

// Grows one Wolff cluster from a random start site and negates it.
void wolff_step(Lattice& lattice);

}  // namespace spinlattice::model
