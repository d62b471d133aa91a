# talkweft_library(<name> [DEPS <targets>...])
# A static library from every .cpp below the calling folder; headers sit next to their sources and
# are included relative to the Sources/ folder (#include "TalkweftCore/Chord.hpp").
function(talkweft_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/Sources)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# talkweft_tests(<name> [DEPS <targets>...])
# One GoogleTest program from every .cpp in the calling folder; each test case becomes a CTest test.
# Tests find their data through TALKWEFT_TEST_DATA (this folder) and TALKWEFT_FIXTURES (shared fixtures).
function(talkweft_tests name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    TALKWEFT_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}"
    TALKWEFT_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TALKWEFT_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
