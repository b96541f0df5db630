#pragma once
// What the seeding tests of every system share: one seeding's outcome, the
// check that a generator is keyed by given bytes, and the check of a stop's text.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "chacha_reference.hpp"
#include "check.hpp"
#include "random/std_rng.hpp"
#include "stop.hpp"

namespace seeding {

using Bytes = std::vector<std::uint8_t>;

struct Outcome {
    std::optional<spinlattice::random::StdRng> rng;
    std::string message;
};

inline Outcome seed_once() {
    try {
        return {spinlattice::random::StdRng::from_os_rng(), ""};
    } catch (const spinlattice::Stop& s) {
        return {std::nullopt, s.message()};
    }
}

// The generator runs ChaCha12 keyed by exactly these bytes (the last 32 handed out).
inline bool keyed_by(Outcome& o, const Bytes& handed) {
    if (!o.rng || handed.size() < 32) return false;
    const auto ks = reference::chacha12_words(reference::key_from_bytes(handed.data() + handed.size() - 32), 0, 4);
    for (std::uint32_t word : ks)
        if (o.rng->next_u32() != word) return false;
    return true;
}

}  // namespace seeding

#define CHECK_MESSAGE(outcome, text) \
    do { \
        const ::seeding::Outcome& o_ = (outcome); \
        ::check::record(!o_.rng && o_.message == (text), #outcome " stops with " #text, __FILE__, __LINE__, \
                        "(got \"" + o_.message + "\")"); \
    } while (0)
