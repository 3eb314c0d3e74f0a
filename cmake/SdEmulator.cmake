# Tests of a cross build run under CMAKE_CROSSCOMPILING_EMULATOR (qemu-user
# for arm64). CTest starts each test program through it; a test that starts
# one of the project's programs itself (readersim, stripectl) needs it too,
# as the kernel cannot run a foreign program without binfmt_misc.
#
# sd_runnable_path(VAR TARGET): VAR is a path that exec() can start: the
# target's file in a native build; in a cross build a small shell script
# below bin/emulated/ that runs the file under the emulator (the host's
# shell and the emulator run natively, so execv, system and QProcess work).
#
# SD_TEST_ENVIRONMENT: for a test's ENVIRONMENT property: SD_EMULATOR names
# the emulator in a cross build (empty in a native one), so that a test can
# skip what means nothing there (processor time counts the translation).
#
# The emulator gets tests/support/termio_shim.c preloaded into every program
# it runs (qemu-user does not translate the terminal ioctls the library uses).
set(sd_emulator_line "")
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
  add_library(sd_termio_shim SHARED ${PROJECT_SOURCE_DIR}/tests/support/termio_shim.c)
  target_link_libraries(sd_termio_shim PRIVATE ${CMAKE_DL_LIBS})
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR
       -E LD_PRELOAD=${CMAKE_BINARY_DIR}/bin/libsd_termio_shim.so)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " sd_emulator_line)
endif()
set(SD_TEST_ENVIRONMENT "SD_EMULATOR=${sd_emulator_line}")

function(sd_runnable_path var target)
  if(sd_emulator_line STREQUAL "")
    set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    return()
  endif()
  set(script ${CMAKE_BINARY_DIR}/bin/emulated/${target})
  set(${var} ${script} PARENT_SCOPE)
  get_property(done GLOBAL PROPERTY sd_runnable_${target})
  if(done)
    return()
  endif()
  set_property(GLOBAL PROPERTY sd_runnable_${target} ON)
  file(GENERATE OUTPUT ${script}
    CONTENT "#!/bin/sh\nexec ${sd_emulator_line} '$<TARGET_FILE:${target}>' \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
endfunction()
