#pragma once
// Names and texts that callers match exactly, and so are fixed, listed once.
// The whole texts are defined here and taken from here; a text with values in
// it is composed in one place, named below, which points back here.
//
//   "index out of bounds: the len is <len> but the index is <index>"   stop.cpp
//   "from_os_rng failed: <description> (os error <errno>)" or
//   "from_os_rng failed: <one of the two internal reasons below>"      random/os_seed.cpp
//   "while processing '<argument>'" (a note)                           binding/errors.cpp
//   "Lattice.<name>() was stopped after <made> of <count> updates, for
//    which it would have returned <total>" (a note)                    binding/errors.cpp
//   "Lattice.set_spins() expects ..." (TypeError, ValueError)          binding/bulk_spins.cpp
//   "Lattice.<name>() takes ...", "... missing ...", "... got ..."     binding/binder.cpp
//   "Lattice { width: <w>, ..., rng: StdRng(ChaCha12Rng { rng: BlockRng
//    { core: ChaChaXCore {}, result_len: 64, index: <i> } }) }"         binding/repr.cpp
//
// The class's names (class, module, methods, parameters, properties) are in
// binding/lattice_surface.hpp; the generator's C++ names (StdRng, BlockRng,
// result_len, index, from_os_rng) are those the texts above show.

namespace spinlattice::fixed {

// Stops (PanicException).
inline constexpr const char* kOutOfBounds = "Accessing out of bounds!";
inline constexpr const char* kCapacityOverflow = "capacity overflow";
inline constexpr const char* kEmptyRange = "cannot sample empty range";
inline constexpr const char* kSpinCountMismatch = "the number of spins is not the number of sites";
inline constexpr const char* kSeedingUnexpected = "unexpected situation";
inline constexpr const char* kSeedingErrnoNotPositive = "errno: did not return a positive value";
// A PanicException raised by Python code, its own text unreadable, comes back as a stop with this one.
inline constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";

// The class of stops, by its qualified name.
inline constexpr const char* kPanicName = "pyo3_runtime.PanicException";

// Borrow refusals (RuntimeError).
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

// Deleting a property (AttributeError).
inline constexpr const char* kNoDeleter = "property has no deleter";

}  // namespace spinlattice::fixed
