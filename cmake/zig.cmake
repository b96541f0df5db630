# Builds with zig's clang for an old glibc (manylinux2014: glibc 2.17), on any host and
# for either processor, with no container. zig links its own libc++ statically, so the
# module needs nothing of the system but libc, libm, libpthread and libdl.
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake -DSPINLATTICE_ZIG=/path/to/zig
#   -DSPINLATTICE_ZIG_TARGET=x86_64-linux-gnu.2.17 (or aarch64-linux-gnu.2.17)
# The same for macOS and Windows (aarch64-macos.13.3, x86_64-macos.13.3, x86_64-windows-gnu):
# the module then needs only libSystem, or only the interpreter's DLL and the system's.
# CMake takes one program per tool, so small wrappers that name the target are written
# into the build folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SPINLATTICE_ZIG SPINLATTICE_ZIG_TARGET)
if(NOT SPINLATTICE_ZIG OR NOT SPINLATTICE_ZIG_TARGET)
  message(FATAL_ERROR "zig.cmake needs SPINLATTICE_ZIG and SPINLATTICE_ZIG_TARGET")
endif()
string(REGEX MATCH "^[^-]+" _zig_processor "${SPINLATTICE_ZIG_TARGET}")
string(REGEX MATCH "^[^-]+-([^-.]+)" _zig_os "${SPINLATTICE_ZIG_TARGET}")
set(_zig_os "${CMAKE_MATCH_1}")
if(_zig_os STREQUAL "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  set(CMAKE_SYSTEM_PROCESSOR ${_zig_processor})
  # The target names the oldest macOS; CMake's own check of it reads this.
  string(REGEX MATCH "macos\\.([0-9.]+)" _zig_macos "${SPINLATTICE_ZIG_TARGET}")
  set(CMAKE_OSX_DEPLOYMENT_TARGET "${CMAKE_MATCH_1}" CACHE STRING "")
  # No Apple SDK here: zig brings macOS's headers and library stubs itself.
  set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
  set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/zig_macos_rules.cmake)
elseif(_zig_os STREQUAL "windows")
  set(CMAKE_SYSTEM_NAME Windows)
  set(CMAKE_SYSTEM_PROCESSOR ${_zig_processor})
# For this machine's own processor it is not a cross build: its programs (the C++ tests) run here.
# Otherwise -DCMAKE_CROSSCOMPILING_EMULATOR runs them, if given.
elseif(NOT CMAKE_HOST_SYSTEM_PROCESSOR STREQUAL _zig_processor)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${_zig_processor})
endif()

set(_zig_tools ${CMAKE_BINARY_DIR}/zig-${SPINLATTICE_ZIG_TARGET})
foreach(_tool cc c++ ar ranlib)
  set(_target_flag "")
  if(_tool MATCHES "^c")
    set(_target_flag "-target ${SPINLATTICE_ZIG_TARGET} ")
  endif()
  file(CONFIGURE OUTPUT ${_zig_tools}/${_tool}
       CONTENT "#!/bin/sh\nexec '${SPINLATTICE_ZIG}' ${_tool} ${_target_flag}\"$@\"\n" @ONLY)
  file(CHMOD ${_zig_tools}/${_tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
       WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${_zig_tools}/cc)
set(CMAKE_CXX_COMPILER ${_zig_tools}/c++)
set(CMAKE_AR ${_zig_tools}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_zig_tools}/ranlib CACHE FILEPATH "")

# zig's compiler emits debug information unless told otherwise, and no strip tool of the
# host can be relied on for the other processor: the linker leaves both out itself.
set(CMAKE_C_FLAGS_INIT "-g0")
set(CMAKE_CXX_FLAGS_INIT "-g0")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s")

# zig's runtime library defines exp too; the results are glibc's, so the module binds
# the reference to the oldest version glibc has of it on this processor. On macOS and
# Windows exp is imported from libSystem and the UCRT as it is.
if(_zig_os STREQUAL "linux" AND _zig_processor STREQUAL "x86_64")
  set(SPINLATTICE_LIBM_EXP_VERSION GLIBC_2.2.5 CACHE STRING "")
elseif(_zig_os STREQUAL "linux" AND _zig_processor STREQUAL "aarch64")
  set(SPINLATTICE_LIBM_EXP_VERSION GLIBC_2.17 CACHE STRING "")
endif()

# Headers and libraries of the target come from zig; only an interpreter's headers are searched.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
