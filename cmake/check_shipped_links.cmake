# Run as a test (cmake -P): the link step of every shipped program and
# library in build.ninja names no test code (a library marked QV_TEST_CODE,
# given in TEST_CODE, nor GoogleTest), and the link step of each test driver
# named in DRIVERS does name some, so the check is seen to find what it
# looks for.
#   -DBUILD_DIR=<build tree> -DSHIPPED=<targets> -DDRIVERS=<targets>
#   -DTEST_CODE=<library files and object folders>
file(READ "${BUILD_DIR}/build.ninja" ninja)
set(failed FALSE)

# The link statement of a target: its "build" line and the indented
# variable lines under it.
function(link_step target out)
  string(REGEX MATCH "\nbuild [^\n]*_LINKER__${target}_[A-Za-z]*[ \n][^\n]*(\n  [^\n]*)*" step
         "${ninja}")
  set(${out} "${step}" PARENT_SCOPE)
endfunction()

# The test code a link step names (build.ninja names files inside the build
# tree relative to it), or "".
function(test_code_in step out)
  set(found "")
  foreach(file IN LISTS TEST_CODE)
    file(RELATIVE_PATH relative "${BUILD_DIR}" "${file}")
    foreach(name IN ITEMS "${file}" "${relative}")
      string(FIND "${step}" " ${name}" at)
      if(at GREATER -1)
        set(found "${name}")
        break()
      endif()
    endforeach()
    if(NOT found STREQUAL "")
      break()
    endif()
  endforeach()
  if(found STREQUAL "" AND step MATCHES "[^ ]*(libgtest|libgmock)[^ \n]*")
    set(found "${CMAKE_MATCH_0}")
  endif()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

list(LENGTH TEST_CODE libraries)
if(libraries EQUAL 0)
  message(SEND_ERROR "no test code given")
  set(failed TRUE)
endif()
foreach(target IN LISTS SHIPPED)
  link_step(${target} step)
  test_code_in("${step}" found)
  if(step STREQUAL "")
    message(SEND_ERROR "no link step for the shipped target ${target}")
    set(failed TRUE)
  elseif(NOT found STREQUAL "")
    message(SEND_ERROR "the shipped target ${target} links ${found}")
    set(failed TRUE)
  endif()
endforeach()
foreach(target IN LISTS DRIVERS)
  link_step(${target} step)
  test_code_in("${step}" found)
  if(found STREQUAL "")
    message(SEND_ERROR "the test driver ${target} was expected to link test code")
    set(failed TRUE)
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "a shipped program links test code")
endif()
list(LENGTH SHIPPED count)
message(STATUS "${count} shipped targets link none of ${libraries} test libraries")
