# GoogleTest: cross-built from Debian's sources here; a Windows build uses an installed package.
set(VORN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build with the project")
if(EXISTS ${VORN_GTEST_SOURCE}/CMakeLists.txt)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VORN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest CONFIG REQUIRED)
endif()
include(GoogleTest)

# One ctest entry per test case. Discovery runs at test time (inside the Wine session the test
# script starts), with room for a cold Wine start.
function(vorn_add_gtest target)
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
    ${ARGN})
endfunction()
