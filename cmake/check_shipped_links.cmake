# Run as a test (cmake -P): the link step of every shipped program and
# library in build.ninja names nothing of a test-support folder (nor
# GoogleTest), and the link step of each test driver named in DRIVERS does
# name one, so the check is seen to find what it looks for.
#   -DBUILD_DIR=<build tree> -DSHIPPED=<targets> -DDRIVERS=<targets>
file(READ "${BUILD_DIR}/build.ninja" ninja)
set(failed FALSE)

# The link statement of a target: its "build" line and the indented
# variable lines under it.
function(link_step target out)
  string(REGEX MATCH "\nbuild [^\n]*_LINKER__${target}_[A-Za-z]*[ \n][^\n]*(\n  [^\n]*)*" step
         "${ninja}")
  set(${out} "${step}" PARENT_SCOPE)
endfunction()

set(test_support "(/testsupport/|libgtest|libgmock)")
foreach(target IN LISTS SHIPPED)
  link_step(${target} step)
  if(step STREQUAL "")
    message(SEND_ERROR "no link step for the shipped target ${target}")
    set(failed TRUE)
  elseif(step MATCHES "[^ ]*${test_support}[^ \n]*")
    message(SEND_ERROR "the shipped target ${target} links ${CMAKE_MATCH_0}")
    set(failed TRUE)
  endif()
endforeach()
foreach(target IN LISTS DRIVERS)
  link_step(${target} step)
  if(NOT step MATCHES "/testsupport/")
    message(SEND_ERROR "the test driver ${target} was expected to link test support")
    set(failed TRUE)
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "a shipped program links test support")
endif()
list(LENGTH SHIPPED count)
message(STATUS "${count} shipped targets link no test support")
