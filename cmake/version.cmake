# One version source: the project's version, plus the commit when the tree is
# a git checkout, in a generated header that every program includes through
# the interface target orvane_version.
set(ORVANE_COMMIT "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${CMAKE_SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --short=7 HEAD
                  WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
                  OUTPUT_VARIABLE ORVANE_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(ORVANE_COMMIT)
  set(ORVANE_VERSION_FULL "${PROJECT_VERSION} (commit ${ORVANE_COMMIT})")
else()
  set(ORVANE_VERSION_FULL "${PROJECT_VERSION}")
endif()
configure_file("${CMAKE_SOURCE_DIR}/cmake/orvane_version.h.in" "${CMAKE_BINARY_DIR}/generated/orvane_version.h" @ONLY)
add_library(orvane_version INTERFACE)
target_include_directories(orvane_version INTERFACE "${CMAKE_BINARY_DIR}/generated")
