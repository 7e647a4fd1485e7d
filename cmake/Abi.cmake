# SPDX-License-Identifier: MIT
# The ABI of the installed libraries, as recorded in abi/ and checked by the Abi.* tests.
#
# abi/<soname>.abi is what `abidw` (Debian's abigail-tools) reads from a RelWithDebInfo build:
# the exported functions and variables with their symbol versions, and every type they reach
# that a public header defines. Paths, source locations and the DT_NEEDED list are left out, so
# that the file changes only when the interface does, whatever the checkout, build directory or
# comments. `cmake --build <dir> --target abi-baseline` (or `make abi-baseline`) rewrites it.

find_program(TAMB_ABIDW abidw)
set(TAMB_ABI_DIR ${PROJECT_SOURCE_DIR}/abi)
set(TAMB_ABI_HEADERS ${PROJECT_SOURCE_DIR}/include/tamb)

if(NOT TAMB_ABIDW)
  add_custom_target(abi-baseline
    COMMAND ${CMAKE_COMMAND} -E echo "abi-baseline: abidw not found (apt-get install abigail-tools)"
    COMMAND ${CMAKE_COMMAND} -E false)
  return()
endif()
# The baseline must describe what CI builds: GCC's optimised code with its debug information, no
# sanitizers. Another build would record the same interface, but the test compares against a
# file that should not change with the machine that wrote it.
if(NOT CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo" OR TAMB_SANITIZED
   OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_custom_target(abi-baseline
    COMMAND ${CMAKE_COMMAND} -E echo
            "abi-baseline: write the baseline from a GCC RelWithDebInfo build without sanitizers"
    COMMAND ${CMAKE_COMMAND} -E false)
  return()
endif()

set(tamb_abi_commands "")
foreach(target tamb tamb_playhead)
  set(abi_file ${TAMB_ABI_DIR}/lib${target}.so.${PROJECT_VERSION_MAJOR}.abi)
  # abidw names each translation unit by its source path; keep it relative to the checkout.
  list(APPEND tamb_abi_commands
    COMMAND ${TAMB_ABIDW} --headers-dir ${TAMB_ABI_HEADERS} --drop-private-types
            --exported-interfaces-only --no-corpus-path --no-architecture --no-comp-dir-path
            --no-show-locs --no-elf-needed --type-id-style hash
            --out-file ${abi_file} $<TARGET_FILE:${target}>
    COMMAND sed -i "s|path='${PROJECT_SOURCE_DIR}/|path='|" ${abi_file})
endforeach()
add_custom_target(abi-baseline
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TAMB_ABI_DIR}
  ${tamb_abi_commands}
  COMMAND ${CMAKE_COMMAND} -E echo "wrote ${TAMB_ABI_DIR}; review git diff abi/ before committing"
  DEPENDS tamb tamb_playhead
  VERBATIM)
