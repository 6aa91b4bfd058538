# System libraries behind the front end's later components (included from CMakeLists.txt).
find_package(SQLite3 REQUIRED)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
pkg_check_modules(LIBPLIST REQUIRED IMPORTED_TARGET libplist-2.0)
find_package(fmt REQUIRED)
target_link_libraries(amberlin_audio_core PUBLIC SQLite::SQLite3 PkgConfig::UUID PkgConfig::LIBPLIST
                                                 fmt::fmt)
