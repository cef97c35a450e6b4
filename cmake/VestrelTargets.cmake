# Targets are made from globbed sources so that adding a file never needs a CMake edit.

# vestrel_glob_library(NAME DIRS... [EXCLUDE regex]): a static library of every .cpp under DIRS,
# or an interface library while the folders are still empty.
function(vestrel_glob_library name)
  cmake_parse_arguments(ARG "" "EXCLUDE" "DIRS" ${ARGN})
  set(srcs)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS "${dir}/*.cpp")
    list(APPEND srcs ${found})
  endforeach()
  if(ARG_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    set(${name}_SCOPE PUBLIC PARENT_SCOPE)
  else()
    add_library(${name} INTERFACE)
    set(${name}_SCOPE INTERFACE PARENT_SCOPE)
  endif()
endfunction()

# vestrel_glob_test(NAME DIR LIBS...): one GoogleTest executable of every .cpp under DIR (the
# *_test.cpp files and their support code), leaving out fuzz/ and vectors/ folders.
function(vestrel_glob_test name dir)
  file(GLOB_RECURSE tests CONFIGURE_DEPENDS "${dir}/*_test.cpp")
  if(NOT tests)
    return()
  endif()
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS "${dir}/*.cpp")
  list(FILTER srcs EXCLUDE REGEX "/(fuzz|vectors)/")
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    VESTREL_SOURCE_DIR="${CMAKE_SOURCE_DIR}" VESTREL_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
endfunction()
