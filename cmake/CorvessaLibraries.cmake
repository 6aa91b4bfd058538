# One helper declares a first-party static library the way every layer does.
#
#   corvessa_add_library(<target> ALIAS <corvessa::name> SOURCES <files...>
#                        [PUBLIC <targets...>] [PRIVATE <targets...>]
#                        [PRIVATE_INCLUDES <dirs...>] [NO_PUBLIC_INCLUDE])
#
# The library gets its `corvessa::` alias, its folder's include/ as the public include path
# (unless NO_PUBLIC_INCLUDE) and the project's warnings privately.
function(corvessa_add_library target)
  cmake_parse_arguments(ARG "NO_PUBLIC_INCLUDE" "ALIAS" "SOURCES;PUBLIC;PRIVATE;PRIVATE_INCLUDES"
                        ${ARGN})
  add_library(${target} STATIC ${ARG_SOURCES})
  add_library(${ARG_ALIAS} ALIAS ${target})
  if(NOT ARG_NO_PUBLIC_INCLUDE)
    target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  endif()
  if(ARG_PRIVATE_INCLUDES)
    target_include_directories(${target} PRIVATE ${ARG_PRIVATE_INCLUDES})
  endif()
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE} corvessa::warnings)
endfunction()
