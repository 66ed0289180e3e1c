# The commit and the build date that --version prints, as a header each
# main includes (tolvex/build_info.hpp in the build tree).
#
# Included from CMakeLists.txt it adds tolvex_build_info, a target that
# runs this file again as a script (cmake -P) at every build; the script
# rewrites the header only when its text changes, so a new commit or a new
# day recompiles the mains and nothing else does.

if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(TOLVEX_BUILD_INFO_DIR ${CMAKE_BINARY_DIR}/generated)
  set(TOLVEX_BUILD_INFO ${TOLVEX_BUILD_INFO_DIR}/tolvex/build_info.hpp)
  add_custom_target(tolvex_build_info
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DOUTPUT=${TOLVEX_BUILD_INFO}
            -P ${CMAKE_CURRENT_LIST_FILE}
    BYPRODUCTS ${TOLVEX_BUILD_INFO}
    COMMENT "Noting the commit and the build date"
    VERBATIM)
  add_dependencies(tolvex tolvex_build_info)
  target_include_directories(tolvex PRIVATE ${TOLVEX_BUILD_INFO_DIR})
  return()
endif()

# The commit: only when the sources are a checkout of their own (a source
# tarball unpacked inside another repository has none).
set(commit unknown)
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
    WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE top RESULT_VARIABLE failed
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT failed)
    file(REAL_PATH ${top} top)
    file(REAL_PATH ${SOURCE_DIR} source)
  endif()
  if(NOT failed AND top STREQUAL source)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty
      WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE described RESULT_VARIABLE failed
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT failed AND described)
      set(commit ${described})
    endif()
  endif()
endif()

# The date in UTC; string(TIMESTAMP) takes SOURCE_DATE_EPOCH when it is set,
# so a package built twice from one commit says the same.
string(TIMESTAMP date "%Y-%m-%d" UTC)

file(CONFIGURE OUTPUT ${OUTPUT} CONTENT [[
// Written by cmake/build_info.cmake at every build; do not edit.
#pragma once

#define TOLVEX_COMMIT "@commit@"
#define TOLVEX_BUILD_DATE "@date@"
]] @ONLY)
