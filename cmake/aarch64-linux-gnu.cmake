# Cross build for 64-bit ARM Linux with Debian's GNU cross compiler; programs
# built here (the C++ tests, FindPython's interpreter) run under qemu-user.
# -DSPINLATTICE_TARGET_ROOT=<dir>: an unpacked arm64 root (Python's headers
# and interpreter, its libraries) searched before the cross toolchain's own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SPINLATTICE_TARGET_ROOT)

set(_toolchain_root /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${SPINLATTICE_TARGET_ROOT} ${_toolchain_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu finds the dynamic loader and the libraries under -L.
find_program(SPINLATTICE_QEMU NAMES qemu-aarch64-static qemu-aarch64 REQUIRED NO_CMAKE_FIND_ROOT_PATH)
if(SPINLATTICE_TARGET_ROOT)
  # Debian's Python.h reaches pyconfig.h through the multiarch directory: searched
  # last, so the cross toolchain's own C and C++ headers keep their order.
  set(CMAKE_C_FLAGS_INIT "-idirafter ${SPINLATTICE_TARGET_ROOT}/usr/include")
  set(CMAKE_CXX_FLAGS_INIT "-idirafter ${SPINLATTICE_TARGET_ROOT}/usr/include")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SPINLATTICE_QEMU} -L ${SPINLATTICE_TARGET_ROOT})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SPINLATTICE_QEMU} -L ${_toolchain_root})
endif()
