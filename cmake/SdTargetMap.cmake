# The map of the code in docs/architecture.md, checked against the build.
#
# sd_target_map(FOLDER...) writes, at configure time, every library and
# program target the folders define with the project's own targets it
# links (target_link_libraries, as CMake holds them), one line each:
#
#   target|folder|linked;linked;...
#
# and adds the test docs.architecture_map, which compares the page's table
# "Targets and what they link" with that list (check_architecture_map.cmake),
# and docs.include_rules, which holds every folder's own includes to the
# page's table "What each folder may include" (check_includes.cmake): no
# include from tools/ into service/ or back, none from common/ into the
# driver's private header, tools/ or service/.
# Test programs, fuzz targets and benchmarks are not on the map.
function(sd_target_map)
  set(targets)
  foreach(folder ${ARGN})
    get_property(defined DIRECTORY ${PROJECT_SOURCE_DIR}/${folder} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target ${defined})
      get_target_property(type ${target} TYPE)
      if(type MATCHES "LIBRARY$|EXECUTABLE")
        list(APPEND targets ${target})
        set(folder_of_${target} ${folder})
      endif()
    endforeach()
  endforeach()
  set(lines "")
  foreach(target ${targets})
    get_target_property(links ${target} LINK_LIBRARIES)
    set(own)
    foreach(link ${links})
      if(link IN_LIST targets)
        list(APPEND own ${link})
      endif()
    endforeach()
    list(SORT own)
    list(REMOVE_DUPLICATES own)
    string(APPEND lines "${target}|${folder_of_${target}}|${own}\n")
  endforeach()
  set(map ${CMAKE_BINARY_DIR}/target_links.txt)
  file(WRITE ${map} "${lines}")
  add_test(NAME docs.architecture_map
    COMMAND ${CMAKE_COMMAND} -D PAGE=${PROJECT_SOURCE_DIR}/docs/architecture.md -D MAP=${map}
            -P ${PROJECT_SOURCE_DIR}/cmake/check_architecture_map.cmake)
  add_test(NAME docs.include_rules
    COMMAND ${CMAKE_COMMAND} -D SOURCE=${PROJECT_SOURCE_DIR} -D PAGE=${PROJECT_SOURCE_DIR}/docs/architecture.md
            -P ${PROJECT_SOURCE_DIR}/cmake/check_includes.cmake)
  set_tests_properties(docs.architecture_map docs.include_rules PROPERTIES TIMEOUT ${SD_TEST_TIMEOUT})
endfunction()
