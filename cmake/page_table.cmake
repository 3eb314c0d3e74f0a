# Included by the docs checks (check_*.cmake).
#
# sd_page_table(PAGE HEADING PREFIX) reads the table below the heading
# "## HEADING" of the Markdown page, the rows whose first cell is a name in
# backticks (a folder's trailing "/" dropped), and sets in the caller:
#   PREFIX_names        the names of the first cells, in order
#   PREFIX_<name>_2     the names in backticks in the row's second cell
#   PREFIX_<name>_3     ... and in its third cell
function(sd_page_table page heading prefix)
  file(STRINGS ${page} lines ENCODING UTF-8)
  set(names)
  set(below OFF)
  foreach(line IN LISTS lines)
    if(line MATCHES "^## ")
      string(COMPARE EQUAL "${line}" "## ${heading}" below)
    elseif(below AND line MATCHES "^\\| `([^`]+)` \\|([^|]*)\\|([^|]*)")
      set(cell_2 "${CMAKE_MATCH_2}") # the next regex clears CMAKE_MATCH_*
      set(cell_3 "${CMAKE_MATCH_3}")
      string(REGEX REPLACE "/$" "" name "${CMAKE_MATCH_1}")
      list(APPEND names ${name})
      foreach(cell 2 3)
        string(REGEX MATCHALL "`[^`]+`" cell_names "${cell_${cell}}")
        string(REPLACE "`" "" cell_names "${cell_names}")
        set(${prefix}_${name}_${cell} "${cell_names}" PARENT_SCOPE)
      endforeach()
    endif()
  endforeach()
  if(NOT names)
    message(FATAL_ERROR "no table below \"## ${heading}\" in ${page}")
  endif()
  set(${prefix}_names "${names}" PARENT_SCOPE)
endfunction()
