#pragma once
// A minimal test harness: CHECK records a failure and goes on; main returns
// non-zero when any check failed.

#include <cstdio>
#include <string>

namespace check {
inline int failures = 0;
inline int passes = 0;

inline void record(bool ok, const char* expr, const char* file, int line, const std::string& detail = {}) {
    if (ok) { ++passes; return; }
    ++failures;
    std::fprintf(stderr, "%s:%d: CHECK failed: %s %s\n", file, line, expr, detail.c_str());
}

inline int finish(const char* name) {
    std::printf("%s: %d checks passed, %d failed\n", name, passes, failures);
    return failures == 0 ? 0 : 1;
}
}  // namespace check

#define CHECK(expr) ::check::record(static_cast<bool>(expr), #expr, __FILE__, __LINE__)
// Each argument is evaluated once: they may be draws.
#define CHECK_EQ(a, b)                                                                          \
    do {                                                                                        \
        const auto check_a_ = (a);                                                              \
        const auto check_b_ = (b);                                                              \
        ::check::record(check_a_ == check_b_, #a " == " #b, __FILE__, __LINE__,                 \
                        "(" + std::to_string(check_a_) + " vs " + std::to_string(check_b_) + ")"); \
    } while (0)
