# Helpers shared by every module's CMakeLists.txt.
#
# quellsig_library(<name> [DEPS <targets>...])
#   A static library from every *.cc in the calling directory. Includes are
#   written from the source root ("engine/message.h"), so the root is public.
function(quellsig_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER sources EXCLUDE REGEX ".*/main\\.cc$")
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
