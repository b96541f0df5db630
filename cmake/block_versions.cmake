# The vector block functions. On x86-64 there is one file per instruction set,
# each with its own target flag and nothing else with it, so the library still
# runs on any x86-64 processor; block_versions.cpp picks among them at run
# time. aarch64 has NEON in its baseline; any other processor gets the scalar
# version only. The source files gate themselves the same way by the compiler's
# processor macros.
set(_random ${PROJECT_SOURCE_DIR}/src/random)
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" _processor)
if(_processor MATCHES "^(x86_64|amd64)$")
  target_sources(spinlattice_core PRIVATE
    ${_random}/cpu_features.cpp
    ${_random}/chacha_sse2.cpp
    ${_random}/chacha_ssse3.cpp
    ${_random}/chacha_sse41.cpp
    ${_random}/chacha_avx.cpp
    ${_random}/chacha_avx2.cpp
  )
  set_source_files_properties(${_random}/chacha_ssse3.cpp PROPERTIES COMPILE_OPTIONS -mssse3)
  set_source_files_properties(${_random}/chacha_sse41.cpp PROPERTIES COMPILE_OPTIONS -msse4.1)
  set_source_files_properties(${_random}/chacha_avx.cpp PROPERTIES COMPILE_OPTIONS -mavx)
  set_source_files_properties(${_random}/chacha_avx2.cpp PROPERTIES COMPILE_OPTIONS -mavx2)
elseif(_processor MATCHES "^(aarch64|arm64)$")
  target_sources(spinlattice_core PRIVATE ${_random}/chacha_neon.cpp)
endif()
