# GoogleTest from Debian's source package (/usr/src/googletest), built with the project's
# own compiler; elsewhere (vcpkg, MSYS2) the installed package.
if(TARGET GTest::gtest_main)
  return()
endif()
set(VELLUMORA_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources")
if(EXISTS "${VELLUMORA_GTEST_SOURCE}/CMakeLists.txt")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory("${VELLUMORA_GTEST_SOURCE}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest)  # googletest 1.12 defines these aliases itself
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)
