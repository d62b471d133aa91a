option(TALKWEFT_UNITY "Compile the sources of each library and test program in unity batches" ON)
set(TALKWEFT_UNITY_BATCH 8 CACHE STRING "Sources per unity batch (0: one batch per target)")

# talkweft_unity(<target>)
# Compiles the target's sources in unity batches: most of a file's compile time goes to the headers
# it shares with its neighbours (GoogleTest, nlohmann::json, the standard library). In such a batch
# the files of one folder share one translation unit, so names at file scope (also in anonymous
# namespaces, and using-directives) must not clash between the files of a folder.
function(talkweft_unity target)
  if(TALKWEFT_UNITY)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${TALKWEFT_UNITY_BATCH})
    # GCC takes every file of a batch but the first for a header, and warns about each test fixture
    # in an anonymous namespace that a test class derives from.
    target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-subobject-linkage>)
  endif()
endfunction()

# talkweft_library(<name> [DEPS <targets>...] [EXCLUDE_DIRS <subfolders>...])
# A static library from every .cpp below the calling folder, except those in EXCLUDE_DIRS (folders
# that build libraries of their own); headers sit next to their sources and are included relative
# to the Sources/ folder (#include "TalkweftCore/Chord.hpp").
function(talkweft_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE_DIRS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(dir ${ARG_EXCLUDE_DIRS})
    list(FILTER srcs EXCLUDE REGEX "^${CMAKE_CURRENT_SOURCE_DIR}/${dir}/")
  endforeach()
  add_library(${name} STATIC ${srcs})
  talkweft_unity(${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/Sources)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# talkweft_tests(<name> [DEPS <targets>...])
# One GoogleTest program from every .cpp in the calling folder; each test case becomes a CTest test.
# Tests find their data through TALKWEFT_TEST_DATA (this folder) and TALKWEFT_FIXTURES (shared fixtures).
function(talkweft_tests name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${srcs} ${PROJECT_SOURCE_DIR}/Tests/SharedFixtures/NoHubFromEnvironment.cpp)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/Tests/SharedFixtures)
  talkweft_unity(${name})
  # Test programs are mostly GoogleTest and JSON templates, whose compilation -O3 makes far slower
  # without making the tests faster: the code under test keeps the build type's optimisation.
  # (-Og rather than -O1: GCC 12 at -O1 takes a moved-from std::optional for uninitialized.)
  target_compile_options(${name} PRIVATE -Og)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    TALKWEFT_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}"
    TALKWEFT_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TALKWEFT_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
