# What the build derives from the surface table (src/binding/lattice_surface.hpp)
# and checks against it, in generated/ under the build folder:
# - introspection_records.inc: one SPINLATTICE_RECORD(k) line per record (the
#   module's, the class's and one per row of the table), so that a new row gets
#   its exported record without a line by hand; stub_records.cpp checks the count;
# - stub_lines.hpp: the stub's decorator and def lines in the class, which
#   stub_check.cpp checks against the table at compile time (every row declared
#   with its signature, nothing else).
# CMake configures again when either file changes.
set(SPINLATTICE_SURFACE ${PROJECT_SOURCE_DIR}/src/binding/lattice_surface.hpp)
set(SPINLATTICE_STUB ${PROJECT_SOURCE_DIR}/stubs/spinlattice.pyi)
set(SPINLATTICE_GENERATED ${CMAKE_CURRENT_BINARY_DIR}/generated)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${SPINLATTICE_SURFACE} ${SPINLATTICE_STUB})

# Writes `content` to `file`, touching it only when it changes, so that a configure rebuilds nothing needlessly.
function(spinlattice_generate file content)
  file(WRITE ${SPINLATTICE_GENERATED}/${file}.new "${content}")
  file(COPY_FILE ${SPINLATTICE_GENERATED}/${file}.new ${SPINLATTICE_GENERATED}/${file} ONLY_IF_DIFFERENT)
  file(REMOVE ${SPINLATTICE_GENERATED}/${file}.new)
endfunction()

# A row of the table starts a line with `callable(`.
file(STRINGS ${SPINLATTICE_SURFACE} rows REGEX "^ *callable\\(")
list(LENGTH rows row_count)
math(EXPR record_count "${row_count} + 2")
math(EXPR last_record "${row_count} + 1")
set(records "// Generated from the surface table by cmake/surface.cmake.\n")
string(APPEND records "#define SPINLATTICE_RECORD_COUNT ${record_count}\n")
foreach(k RANGE ${last_record})
  string(APPEND records "SPINLATTICE_RECORD(${k})\n")
endforeach()
spinlattice_generate(introspection_records.inc "${records}")

# The class's declaration lines (decorators and defs, indented once), in order.
file(STRINGS ${SPINLATTICE_STUB} lines REGEX "^    (def |@)")
set(declarations "// Generated from stubs/spinlattice.pyi by cmake/surface.cmake.
#pragma once
#include <string_view>
namespace spinlattice::binding {
// The Lattice class's decorator and def lines in the stub, in order, their indentation removed.
inline constexpr std::string_view kStubLines[] = {
")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^    " "" line "${line}")
  string(APPEND declarations "    R\"spinlattice(${line})spinlattice\",\n")
endforeach()
string(APPEND declarations "};
}
")
spinlattice_generate(stub_lines.hpp "${declarations}")
