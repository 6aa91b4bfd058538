# System libraries behind corvessa::platform (included from this folder's CMakeLists.txt).
pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(ESPEAK_NG REQUIRED IMPORTED_TARGET espeak-ng)
target_link_libraries(corvessa_platform PUBLIC PkgConfig::SOXR PkgConfig::SNDFILE
                                               PkgConfig::ESPEAK_NG ${CMAKE_DL_LIBS})
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
target_link_libraries(corvessa_platform PUBLIC PkgConfig::PULSE)
