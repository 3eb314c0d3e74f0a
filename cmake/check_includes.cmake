# cmake -D SOURCE=<source tree> -D PAGE=docs/architecture.md -P this file
#
# Checks the rule of the page's table "What each folder may include": every
# #include "..." in a folder's own code (its tests/ left out) names a file
# of that folder or of a place the table allows. A header that is nowhere
# in the source tree (generated, such as ui_mainwindow.h) is not looked at.
# Where several files carry the name, one in an allowed place suffices, as
# the folder's include path finds that one.
cmake_minimum_required(VERSION 3.18)
include(${CMAKE_CURRENT_LIST_DIR}/page_table.cmake)
sd_page_table(${PAGE} "What each folder may include" page)
set(folders ${page_names})
foreach(folder IN LISTS folders)
  set(allowed_${folder} ${folder}/ ${page_${folder}_2})
endforeach()

file(GLOB_RECURSE tree RELATIVE ${SOURCE} ${SOURCE}/*.h ${SOURCE}/*.hpp ${SOURCE}/*.c ${SOURCE}/*.cpp)
list(FILTER tree EXCLUDE REGEX "^(build|obj-|debian/)")

set(problems "")
set(checked 0)
foreach(folder IN LISTS folders)
  set(sources ${tree})
  list(FILTER sources INCLUDE REGEX "^${folder}/")
  list(FILTER sources EXCLUDE REGEX "/tests/")
  foreach(source IN LISTS sources)
    file(STRINGS ${SOURCE}/${source} includes ENCODING UTF-8 REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(include IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" name "${include}")
      get_filename_component(here ${source} DIRECTORY)
      if(EXISTS ${SOURCE}/${here}/${name})
        continue() # beside the file
      endif()
      set(candidates ${tree})
      list(FILTER candidates INCLUDE REGEX "(^|/)${name}$")
      if(NOT candidates)
        continue() # generated
      endif()
      set(found OFF)
      foreach(candidate IN LISTS candidates)
        foreach(place IN LISTS allowed_${folder})
          string(FIND "${candidate}" "${place}" at)
          if(at EQUAL 0)
            set(found ON)
          endif()
        endforeach()
      endforeach()
      math(EXPR checked "${checked} + 1")
      if(NOT found)
        string(APPEND problems "  ${source} includes \"${name}\" (${candidates})\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "includes the page does not allow:\n${problems}")
endif()
message(STATUS "${checked} includes from beyond their own folder, each from a place docs/architecture.md allows")
