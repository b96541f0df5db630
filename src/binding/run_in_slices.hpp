#pragma once
// Long runs of updates, made in slices bounded by their work
// (model/run_tally.hpp). On a small lattice the first slice runs attached to
// the interpreter, so that a short run costs no more than a call; the rest
// run detached from it, so that other threads run meanwhile (and, without a
// global lock, stop-the-world pauses need not wait), coming back every few
// milliseconds of work to check for signals.

#include <Python.h>

#include <chrono>
#include <cstdint>

#include "model/run_tally.hpp"

namespace spinlattice::binding {

// Detaches the calling thread from the interpreter for its scope; it is
// attached again on every way out, also while an exception passes.
class Detached {
public:
    Detached() noexcept : saved_(PyEval_SaveThread()) {}
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;
    ~Detached() { PyEval_RestoreThread(saved_); }

private:
    PyThreadState* saved_;
};

// Work of the attached first slice: some microseconds. It is made only on a
// lattice of at most this many sites, where no single update can be long.
inline constexpr std::uint64_t kAttachedWork = std::uint64_t(1) << 12;
// Work of each detached slice, well under a millisecond: the clock is read once per slice.
inline constexpr std::uint64_t kSliceWork = std::uint64_t(1) << 16;
// How long a run goes between checks for signals.
inline constexpr auto kSignalCheckEvery = std::chrono::milliseconds(5);

// Runs slice(updates left, work, tally) until `count` updates are made.
// False with the exception set when a signal handler raised; an exception
// thrown by a slice passes through, the thread attached again.
template <class Slice>
bool run_in_slices(std::uint64_t count, std::uint64_t sites, model::RunTally& tally, Slice&& slice) {
    if (count == 0) return true;
    if (sites <= kAttachedWork) slice(count, kAttachedWork, tally);
    while (tally.updates < count) {
        {
            Detached detached;
            const auto start = std::chrono::steady_clock::now();
            do slice(count - tally.updates, kSliceWork, tally);
            while (tally.updates < count && std::chrono::steady_clock::now() - start < kSignalCheckEvery);
        }
        if (tally.updates < count && PyErr_CheckSignals() < 0) return false;
    }
    return true;
}

}  // namespace spinlattice::binding
