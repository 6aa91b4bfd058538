# The libFuzzer build (CORVESSA_FUZZ, clang only; see the `fuzz` preset). Every first-party
# library is compiled with coverage instrumentation plus AddressSanitizer and
# UndefinedBehaviorSanitizer, so the fuzz targets in fuzz/ see coverage and faults inside the
# code under test, not only in the harnesses. Included before any library is defined.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "CORVESSA_FUZZ needs clang with libFuzzer (configure with the fuzz preset)")
endif()

add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)

# libstdc++ 12 declares std::expected only when __cpp_concepts >= 202002L, while clang 16 still
# reports 201907L. Clang 16 does implement the conditionally trivial special members that the
# check stands for, so the fuzz build (and only it) states the newer value.
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-U__cpp_concepts> $<$<COMPILE_LANGUAGE:CXX>:-D__cpp_concepts=202002L>
                    $<$<COMPILE_LANGUAGE:CXX>:-Wno-builtin-macro-redefined>)
