# corvessa::warnings carries the project's warning set; every first-party target links it.
add_library(corvessa_warnings INTERFACE)
add_library(corvessa::warnings ALIAS corvessa_warnings)
target_compile_options(corvessa_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wdouble-promotion
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Woverloaded-virtual>)
if(CORVESSA_WARNINGS_AS_ERRORS)
  target_compile_options(corvessa_warnings INTERFACE -Werror)
endif()
