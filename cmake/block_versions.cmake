# The vector block functions, one file per instruction set. Each file gets its
# own target flag and nothing else does, so the library still runs on any
# x86-64 processor; block_versions.cpp picks among them at run time.
set(_random ${PROJECT_SOURCE_DIR}/src/random)
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
