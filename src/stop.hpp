#pragma once
// The one failure type of the native layers: an operation that meets an
// impossible state ends early with a fixed message. The Python boundary turns
// it into PanicException; nothing below the binding knows about Python.

#include <cstdint>
#include <string>
#include <utility>

namespace spinlattice {

class Stop {
public:
    explicit Stop(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Out of line so that callers keep only a call on their cold path.
[[noreturn]] void stop(const char* message);
[[noreturn]] void stop_index_out_of_bounds(std::uint64_t len, std::uint64_t index);

}  // namespace spinlattice
