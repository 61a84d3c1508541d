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
