# Helpers shared by every module's CMakeLists.txt.

# The layer order of cmake/layers.txt: QUELLSIG_LAYER_<folder> is the line
# number of a folder, QUELLSIG_USES_<folder> its explicit list when it has one.
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/layers.txt _quellsig_layer_lines)
set(_quellsig_layer 0)
foreach(line IN LISTS _quellsig_layer_lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  math(EXPR _quellsig_layer "${_quellsig_layer} + 1")
  string(FIND "${line}" ":" colon)
  set(uses "")
  set(explicit OFF)
  if(colon GREATER -1)
    string(SUBSTRING "${line}" ${colon} -1 uses)
    string(SUBSTRING "${line}" 0 ${colon} line)
    string(SUBSTRING "${uses}" 1 -1 uses)
    separate_arguments(uses UNIX_COMMAND "${uses}")
    set(explicit ON)
  endif()
  separate_arguments(folders UNIX_COMMAND "${line}")
  foreach(f IN LISTS folders)
    set(QUELLSIG_LAYER_${f} ${_quellsig_layer})
    if(explicit)
      set(QUELLSIG_USES_${f} ${uses} ${f})
    endif()
  endforeach()
endforeach()

# Fails the configuration when library `name` (in the calling folder) links a
# library of the tree that its layer may not use.
function(_quellsig_check_layers name)
  file(RELATIVE_PATH from ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  if(NOT DEFINED QUELLSIG_LAYER_${from})
    message(FATAL_ERROR "${name}: folder ${from} has no line in cmake/layers.txt")
  endif()
  foreach(dep IN LISTS ARGN)
    if(NOT TARGET ${dep})
      continue()
    endif()
    get_target_property(dir ${dep} SOURCE_DIR)
    file(RELATIVE_PATH to ${PROJECT_SOURCE_DIR} ${dir})
    if(NOT DEFINED QUELLSIG_LAYER_${to} OR to STREQUAL from)
      continue()
    endif()
    if(DEFINED QUELLSIG_USES_${from})
      list(FIND QUELLSIG_USES_${from} ${to} found)
      if(found EQUAL -1)
        message(FATAL_ERROR "${name} (${from}) may not use ${dep} (${to}): see cmake/layers.txt")
      endif()
    elseif(NOT QUELLSIG_LAYER_${to} LESS QUELLSIG_LAYER_${from})
      message(FATAL_ERROR "${name} (${from}) may not use ${dep} (${to}): see cmake/layers.txt")
    endif()
  endforeach()
endfunction()

#
# quellsig_library(<name> [DEPS <targets>...])
#   A static library from every *.cc in the calling directory. Includes are
#   written from the source root ("engine/message.h"), so the root is public.
function(quellsig_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER sources EXCLUDE REGEX ".*/main\\.cc$")
  _quellsig_check_layers(${name} ${ARG_DEPS})
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# quellsig_program(<name> [DEPS <targets>...])
#   An executable from main.cc in the calling directory, when it exists.
function(quellsig_program name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/main.cc)
    add_executable(${name} ${CMAKE_CURRENT_SOURCE_DIR}/main.cc)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  endif()
endfunction()

# quellsig_test(<name> [DEPS <targets>...] [THREADED <gtest filter>])
#   One GoogleTest binary from every *_test.cc in the calling directory,
#   registered with CTest test by test. Tests run with the build tree's
#   program directory in QUELLSIG_BIN_DIR so process tests find the programs.
#   THREADED names the tests that exercise several threads; in a
#   QUELLSIG_TSAN build only binaries with such tests are made, only those
#   tests are registered (label "tsan"), and tsan_tests builds them.
function(quellsig_test name)
  cmake_parse_arguments(ARG "" "THREADED" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  if(NOT sources)
    return()
  endif()
  if(QUELLSIG_TSAN AND NOT ARG_THREADED)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    QUELLSIG_BIN_DIR="${PROJECT_BINARY_DIR}"
    QUELLSIG_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  if(QUELLSIG_TSAN)
    add_dependencies(tsan_tests ${name})
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "${ARG_THREADED}"
                         PROPERTIES TIMEOUT 300 LABELS tsan)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endfunction()
