# Node for the JavaScript client's tests and benchmark: Debian's nodejs, with
# node-ws as the WebSocket (Node 20 has none built in), found in SD_NODE and
# SD_NODE_PATH (for NODE_PATH). sd_node_skip(NAME REASON) registers a test
# that says why it cannot run and is counted as skipped.
find_program(SD_NODE node)
find_file(SD_NODE_WS ws/package.json PATHS /usr/share/nodejs /usr/lib/nodejs NO_DEFAULT_PATH)
set(SD_NODE_PATH "")
if(SD_NODE_WS)
  get_filename_component(SD_NODE_PATH ${SD_NODE_WS} DIRECTORY)
  get_filename_component(SD_NODE_PATH ${SD_NODE_PATH} DIRECTORY)
endif()
# The programs the client's tests start, and Node's module path.
set(SD_NODE_ENVIRONMENT "NODE_PATH=${SD_NODE_PATH}"
    "STRIPEDRV_SERVICE=$<TARGET_FILE:stripedrvd>" "STRIPEDRV_READERSIM=$<TARGET_FILE:readersim>")

function(sd_node_skip name reason)
  add_test(NAME ${name} COMMAND sh -c "echo \"skipped: $0\"; exit 77" "${reason}")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
endfunction()

# Whether node tests can run here; sets `reason` in the caller when not.
macro(sd_node_usable result)
  if(CMAKE_CROSSCOMPILING)
    set(${result} FALSE)
    set(reason "a cross build: the host's node cannot start its service")
  elseif(NOT SD_NODE OR NOT SD_NODE_WS)
    set(${result} FALSE)
    set(reason "no node or no node-ws (Debian's nodejs and node-ws)")
  else()
    set(${result} TRUE)
  endif()
endmacro()
