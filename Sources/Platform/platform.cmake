# System libraries behind corvessa::platform (included from this folder's CMakeLists.txt).
pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
target_link_libraries(corvessa_platform PUBLIC PkgConfig::SOXR PkgConfig::SNDFILE ${CMAKE_DL_LIBS})
