# Run after each Qt Test program is built: asks it for its test functions
# (with ROWS, for every data row of them) and writes one CTest test per
# function or row into OUT, which ctest includes. The console binds its
# libraries once per process, as the program does, so every function or row
# that builds a console window needs a process of its own; this also lets
# them run in parallel.
#
#   -D EXE=program -D NAME=ctest-prefix -D OUT=file -D TIMEOUT=seconds -D ROWS=0|1
#   [-D EMULATOR=command]   runs the program (a cross build's) under it
set(ENV{QT_QPA_PLATFORM} offscreen)
set(ENV{ASAN_OPTIONS} detect_leaks=0)
if(ROWS)
  set(listing_option -datatags)
else()
  set(listing_option -functions)
endif()
execute_process(COMMAND ${EMULATOR} ${EXE} ${listing_option}
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${EXE} ${listing_option} failed (${rc}): ${err}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(emulator_args "")
set(environment "QT_QPA_PLATFORM=offscreen")
foreach(word IN LISTS EMULATOR)
  string(APPEND emulator_args "[==[${word}]==] ")
endforeach()
if(EMULATOR)
  list(JOIN EMULATOR " " line)
  string(APPEND environment ";SD_EMULATOR=${line}")
endif()
set(script "")
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  set(test "")
  if(ROWS AND line MATCHES "^[A-Za-z_][A-Za-z0-9_]* ([A-Za-z_][A-Za-z0-9_]*)( (.+))?$")
    set(test "${CMAKE_MATCH_1}")
    if(NOT "${CMAKE_MATCH_3}" STREQUAL "")
      string(APPEND test ":${CMAKE_MATCH_3}")
    endif()
  elseif(NOT ROWS AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)\\(\\)$")
    set(test "${CMAKE_MATCH_1}")
  endif()
  if(NOT test STREQUAL "")
    string(APPEND script "add_test([=[${NAME}.${test}]=] ${emulator_args} [==[${EXE}]==] [=[${test}]=])\n"
      "set_tests_properties([=[${NAME}.${test}]=] PROPERTIES"
      " ENVIRONMENT [==[${environment}]==] TIMEOUT ${TIMEOUT})\n")
  endif()
endforeach()
if(script STREQUAL "")
  message(FATAL_ERROR "${EXE} listed no test functions")
endif()
file(WRITE "${OUT}" "${script}")
