# Project helpers shared by every folder.

# Warnings that the library code (not the tests) must also be clean of.
set(QV_STRICT_WARNINGS -Wconversion)

# qv_add_test_dir(<name> LIBS <libs...>)
# Builds every *_test.cpp in the calling folder into one GoogleTest executable
# named <name> and registers each test case with CTest.
function(qv_add_test_dir name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_helpers.cpp)
  add_executable(${name} ${sources} ${helpers})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    DISCOVERY_TIMEOUT 120
    PROPERTIES ENVIRONMENT "QV_TEST_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# qv_add_fuzz(<name> SOURCES <fuzz source> LIBS <libs...>)
# A fuzz source defines LLVMFuzzerTestOneInput. It always becomes a CTest case
# that feeds it seeded random inputs (so both normal and sanitizer builds run
# it); with QV_FUZZ and clang it also becomes a libFuzzer binary <name>_fuzzer
# and a CTest case Fuzzer.<name> that runs it for a few seconds, with a fixed
# seed, on the inputs it makes up as it goes (nothing is written).
function(qv_add_fuzz name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name}_random ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/cmake/fuzz_random_driver.cpp)
  target_link_libraries(${name}_random PRIVATE ${ARG_LIBS})
  add_test(NAME Fuzz.${name} COMMAND ${name}_random 20000)
  if(QV_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(${name}_fuzzer ${ARG_SOURCES})
    target_compile_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer)
    target_link_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name}_fuzzer PRIVATE ${ARG_LIBS})
    add_test(NAME Fuzzer.${name}
      COMMAND ${name}_fuzzer -seed=20261208 -max_total_time=5 -timeout=30 -print_final_stats=1)
  endif()
endfunction()

# qv_add_com_server(<name> SOURCES <sources...> LIBS <libs...>)
# An in-process component server: a loadable module <name>.so whose only
# exported symbols are those QV_COM_SERVER defines. Once loaded it stays
# mapped (-z nodelete), even when CoFreeUnusedLibraries lets go of it:
# libraries that register types with wx or GStreamer cannot be loaded twice
# in one process (and the C++ runtime's unique symbols pin most anyway).
function(qv_add_com_server name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "")
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE ${QV_NO_UNDEFINED_LINK} -Wl,-z,nodelete)
endfunction()

# Test code is marked by the target property QV_TEST_CODE, which the check
# that no shipped program links test code goes by (cmake/check_shipped_links.cmake).
# qv_mark_test_code_in_folders(<dir>) marks every library defined in a
# tests/ or testsupport/ folder at or below <dir>; a test library elsewhere
# sets the property itself.
function(qv_mark_test_code_in_folders dir)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${dir})
  if("/${folder}/" MATCHES "/(tests|testsupport)/")
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(type MATCHES "^(STATIC|SHARED|MODULE|OBJECT)_LIBRARY$")
        set_property(TARGET ${target} PROPERTY QV_TEST_CODE ON)
      endif()
    endforeach()
  endif()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    qv_mark_test_code_in_folders(${subdir})
  endforeach()
endfunction()

# qv_test_code_files(<dir> <out>): what a link step names of each marked
# library at or below <dir>: its file (a generator expression), or for an
# object library the folder of its objects.
function(qv_test_code_files dir out)
  set(files)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(marked ${target} QV_TEST_CODE)
    get_target_property(type ${target} TYPE)
    if(NOT marked)
      continue()
    elseif(type STREQUAL "OBJECT_LIBRARY")
      get_property(binary DIRECTORY ${dir} PROPERTY BINARY_DIR)
      list(APPEND files "${binary}/CMakeFiles/${target}.dir/")
    else()
      list(APPEND files "$<TARGET_FILE:${target}>")
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    qv_test_code_files(${subdir} more)
    list(APPEND files ${more})
  endforeach()
  set(${out} "${files}" PARENT_SCOPE)
endfunction()
