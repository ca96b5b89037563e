# Shared build conventions: one static library per directory, one gtest binary per library.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

set(MEASUREMENT_WARNINGS -Wall -Wextra -Wpedantic -Wno-unused-parameter -Wno-missing-field-initializers)

if(MEASUREMENT_SANITIZE)
  # float-cast-overflow is not part of "undefined" with GCC: a double too large for an integer
  # (a time or a number from the network) must fail the tests as well.
  add_compile_options(-fsanitize=address,undefined,float-cast-overflow -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined,float-cast-overflow)
  add_link_options(-fsanitize=address,undefined,float-cast-overflow)
endif()

set(MEASUREMENT_LIBRARIES "" CACHE INTERNAL "")

# measurement_library(<name> [DEPS lib...] [EXTRA_SOURCES file...])
# Compiles every .cpp/.c below the calling directory (except tools/) into a static library.
function(measurement_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXTRA_SOURCES" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  list(FILTER sources EXCLUDE REGEX "/tools/")
  if(NOT sources AND NOT ARG_EXTRA_SOURCES)
    # Nothing built here yet: an interface library keeps the dependency graph whole.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS} Threads::Threads)
    set(MEASUREMENT_LIBRARIES ${MEASUREMENT_LIBRARIES} ${name} CACHE INTERNAL "")
    _measurement_share_dependencies_later(${name})
    return()
  endif()
  add_library(${name} STATIC ${sources} ${ARG_EXTRA_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${MEASUREMENT_WARNINGS}>)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
  if(MEASUREMENT_PRECOMPILE_HEADERS)
    target_precompile_headers(${name} PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:${PROJECT_SOURCE_DIR}/cmake/Precompiled.h>")
  endif()
  set(MEASUREMENT_LIBRARIES ${MEASUREMENT_LIBRARIES} ${name} CACHE INTERNAL "")
  _measurement_share_dependencies_later(${name})
endfunction()

# libmeasurement, defined at the top, links what each library links from outside the project: once
# the library's directory is done, the imported targets found there become visible everywhere.
function(_measurement_share_dependencies_later name)
  # A deferred call reads its arguments when it runs: the name goes in as text.
  cmake_language(EVAL CODE "cmake_language(DEFER CALL _measurement_share_dependencies [[${name}]])")
endfunction()

function(_measurement_share_dependencies name)
  get_target_property(deps ${name} INTERFACE_LINK_LIBRARIES)
  foreach(dep IN LISTS deps)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" dep "${dep}")
    if(NOT TARGET ${dep})
      continue()
    endif()
    get_target_property(imported ${dep} IMPORTED)
    get_target_property(global ${dep} IMPORTED_GLOBAL)
    get_target_property(directory ${dep} SOURCE_DIR)
    if(imported AND NOT global AND directory STREQUAL CMAKE_CURRENT_SOURCE_DIR)
      set_target_properties(${dep} PROPERTIES IMPORTED_GLOBAL TRUE)
    endif()
  endforeach()
endfunction()

# measurement_tests(<name> DIR <dir> DEPS lib...)
# One gtest binary per library; every test case becomes its own CTest entry.
function(measurement_tests name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${ARG_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources} ${CMAKE_SOURCE_DIR}/tests/support/TestMain.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  target_compile_options(${name} PRIVATE ${MEASUREMENT_WARNINGS})
  # GCC 12 at -O3 reports "literal" + std::string temporaries, which test tables build by the
  # hundred, as overlapping copies (a known false positive).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${name} PRIVATE -Wno-restrict)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} test_support GTest::gtest GTest::gmock GTest::gtest_main)
  measurement_register_test_cases(${name})
endfunction()

# Each test case of a gtest binary becomes its own CTest test (so each runs in its own process);
# the cases are listed after every build of the binary.
function(measurement_register_test_cases target)
  set(cases_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_cases.cmake")
  set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_include.cmake")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -D TEST_EXECUTABLE=$<TARGET_FILE:${target}> -D CTEST_FILE=${cases_file}
            -D TEST_TIMEOUT=300 -P ${PROJECT_SOURCE_DIR}/cmake/ListTests.cmake
    VERBATIM)
  file(WRITE "${include_file}"
       "if(EXISTS \"${cases_file}\")\n  include(\"${cases_file}\")\nelse()\n"
       "  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
endfunction()
