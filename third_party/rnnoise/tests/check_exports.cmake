# Fails unless the global symbols defined in LIBRARY are exactly the three rnnoise functions.
#   cmake -DNM=<nm> -DLIBRARY=<archive> -P check_exports.cmake
execute_process(COMMAND ${NM} -g --defined-only --format=posix ${LIBRARY}
                OUTPUT_VARIABLE _listing RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "\n[^ \n:]+ [A-Za-z] " _lines "\n${_listing}")
set(_symbols "")
foreach(_line IN LISTS _lines)
  string(REGEX REPLACE "^\n([^ ]+) .*$" "\\1" _name "${_line}")
  list(APPEND _symbols ${_name})
endforeach()
list(SORT _symbols)
set(_expected rnnoise_create rnnoise_destroy rnnoise_process_frame)
if(NOT _symbols STREQUAL _expected)
  message(FATAL_ERROR "global symbols of ${LIBRARY}: '${_symbols}', expected '${_expected}'")
endif()
message(STATUS "exported: ${_symbols}")
