# SPDX-License-Identifier: MIT
# The API reference: `cmake --build <dir> --target docs` runs Doxygen over the public headers
# into <dir>/docs/html. The target is not part of the default build. Every public name must be
# documented: Doxygen warns about one that is not (and fails on any warning), and
# docs/undocumented.py catches the enumerators and union members that Doxygen lets pass.
find_package(Doxygen QUIET)
find_package(Python3 COMPONENTS Interpreter QUIET)
set(TAMB_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
if(DOXYGEN_FOUND AND Python3_Interpreter_FOUND)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${TAMB_DOCS_DIR}/Doxyfile @ONLY)
  # A fresh output each run, so that no page of a removed name survives.
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${TAMB_DOCS_DIR}/html ${TAMB_DOCS_DIR}/xml
    COMMAND Doxygen::doxygen ${TAMB_DOCS_DIR}/Doxyfile
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/docs/undocumented.py ${TAMB_DOCS_DIR}/xml
    COMMAND ${CMAKE_COMMAND} -E echo "API reference: ${TAMB_DOCS_DIR}/html/index.html"
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    VERBATIM)
else()
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E echo "the API reference needs doxygen and python3"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
endif()
