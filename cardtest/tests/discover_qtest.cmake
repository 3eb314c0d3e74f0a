# Run after each Qt Test program is built: asks it for its test functions
# and writes one CTest test per function into OUT, which ctest includes.
# The console binds its libraries once per process, as the program does, so
# every function that builds a console window needs a process of its own;
# this also lets the functions run in parallel.
#
#   -D EXE=program -D NAME=ctest-prefix -D OUT=file -D TIMEOUT=seconds
set(ENV{QT_QPA_PLATFORM} offscreen)
set(ENV{ASAN_OPTIONS} detect_leaks=0)
execute_process(COMMAND ${EXE} -functions
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${EXE} -functions failed (${rc}): ${err}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(script "")
foreach(line IN LISTS lines)
  string(STRIP "${line}" fn)
  if(fn MATCHES "^([A-Za-z_][A-Za-z0-9_]*)\\(\\)$")
    set(fn "${CMAKE_MATCH_1}")
    string(APPEND script "add_test([=[${NAME}.${fn}]=] [==[${EXE}]==] ${fn})\n"
      "set_tests_properties([=[${NAME}.${fn}]=] PROPERTIES"
      " ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT ${TIMEOUT})\n")
  endif()
endforeach()
if(script STREQUAL "")
  message(FATAL_ERROR "${EXE} listed no test functions")
endif()
file(WRITE "${OUT}" "${script}")
