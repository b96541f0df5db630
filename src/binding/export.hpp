#pragma once
// What leaves the module besides its entry points: exported from the shared object on
// every system (on Windows a symbol is exported only when marked dllexport).

#if defined(_WIN32)
#define SPINLATTICE_EXPORT __declspec(dllexport)
#else
#define SPINLATTICE_EXPORT __attribute__((visibility("default")))
#endif
