# The Windows cross-build takes CLI11, nlohmann-json and fmt as headers only
# and GoogleTest from its sources. The host's include directory must never
# reach the cross compiler (its C library headers would shadow mingw's), so
# just the needed header trees are copied into the build directory.

set(KORVALEN_HOST_INCLUDE "/usr/include" CACHE PATH
    "Where the host's CLI11, nlohmann-json and fmt header trees are")
set(KORVALEN_GTEST_SOURCE "/usr/src/googletest" CACHE PATH
    "GoogleTest's sources, built here with the cross compiler")

set(cross_include ${CMAKE_BINARY_DIR}/cross-include)
foreach(tree CLI nlohmann fmt)
  if(NOT IS_DIRECTORY ${KORVALEN_HOST_INCLUDE}/${tree})
    message(FATAL_ERROR "${KORVALEN_HOST_INCLUDE}/${tree} is missing: install libcli11-dev, "
                        "nlohmann-json3-dev and libfmt-dev")
  endif()
  file(COPY ${KORVALEN_HOST_INCLUDE}/${tree} DESTINATION ${cross_include})
endforeach()

add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${cross_include})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${cross_include})
add_library(fmt::fmt INTERFACE IMPORTED)
target_include_directories(fmt::fmt SYSTEM INTERFACE ${cross_include})
target_compile_definitions(fmt::fmt INTERFACE FMT_HEADER_ONLY)

if(NOT EXISTS ${KORVALEN_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "${KORVALEN_GTEST_SOURCE} is missing: install libgtest-dev")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
# Its targets come with the GTest:: names the tests link against.
add_subdirectory(${KORVALEN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# SQLite for the station, built for Windows from Debian's source by
# scripts/build-sqlite-windows.sh; the host's library can never be linked.
set(KORVALEN_SQLITE_WINDOWS "${CMAKE_SOURCE_DIR}/build/sqlite-mingw" CACHE PATH
    "Where scripts/build-sqlite-windows.sh put include/sqlite3.h and lib/libsqlite3.a")
if(EXISTS ${KORVALEN_SQLITE_WINDOWS}/lib/libsqlite3.a)
  add_library(SQLite::SQLite3 STATIC IMPORTED)
  set_target_properties(SQLite::SQLite3 PROPERTIES
    IMPORTED_LOCATION ${KORVALEN_SQLITE_WINDOWS}/lib/libsqlite3.a
    INTERFACE_INCLUDE_DIRECTORIES ${KORVALEN_SQLITE_WINDOWS}/include)
else()
  message(STATUS "No SQLite for Windows in ${KORVALEN_SQLITE_WINDOWS}: "
                 "run scripts/build-sqlite-windows.sh for the station")
endif()
