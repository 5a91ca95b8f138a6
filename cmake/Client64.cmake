# 64-bit clients of the 32-bit server, which reach it through the COM surrogate. The main build uses the
# i686 toolchain, so the 64-bit test client gets a compiler invocation of its own here.
# Sets, when available:
#   VORN_WINE64        the 64-bit Wine loader (64-bit cscript, the 64-bit registry view)
#   VORN_CLIENT64_EXE  the 64-bit test client, built by the target vorn_client64
if(NOT (CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX AND MINGW))
  message(STATUS "64-bit clients: set up only for the mingw-w64 cross build run under Wine")
  return()
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  # The build is 64-bit itself; its own clients are the 64-bit ones. regsvr32's tests still use the loader.
  find_program(VORN_WINE64 wine64 PATHS /usr/lib/wine /usr/lib64/wine)
  return()
endif()

# Debian keeps the 64-bit loader out of PATH.
find_program(VORN_WINE64 wine64 PATHS /usr/lib/wine /usr/lib64/wine)
if(NOT VORN_WINE64)
  message(STATUS "64-bit clients skipped: no 64-bit Wine loader (wine64)")
  return()
endif()

find_program(VORN_CXX64 x86_64-w64-mingw32-g++-posix)
find_program(VORN_WIDL64 x86_64-w64-mingw32-widl)
if(NOT VORN_CXX64)
  message(STATUS "64-bit client skipped: x86_64-w64-mingw32-g++-posix not found")
  return()
endif()
if(NOT VORN_WIDL64)
  # The interface header widl writes is the same for both architectures.
  set(VORN_WIDL64 ${VORN_WIDL})
endif()

set(_client64_generated ${CMAKE_BINARY_DIR}/client64)
set(_client64_header ${_client64_generated}/VornDriver.h)
set(_client64_source ${PROJECT_SOURCE_DIR}/tests/client64/Client64.cpp)
set(VORN_CLIENT64_EXE ${CMAKE_BINARY_DIR}/bin/x64/client64.exe)

add_custom_command(
  OUTPUT ${_client64_header}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_client64_generated}
  COMMAND ${VORN_WIDL64} -I ${VORN_WIDL_INCLUDE} -h -H ${_client64_header} ${PROJECT_SOURCE_DIR}/server/VornDriver.idl
  DEPENDS ${PROJECT_SOURCE_DIR}/server/VornDriver.idl
  COMMENT "Generating the interface header for the 64-bit client"
  VERBATIM)

add_custom_command(
  OUTPUT ${VORN_CLIENT64_EXE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/x64
  COMMAND ${VORN_CXX64} -std=c++20 -O2 -Wall -Wextra -Wpedantic
          -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0601
          -I ${_client64_generated} -I ${PROJECT_SOURCE_DIR}/tests ${_client64_source}
          -static -static-libgcc -static-libstdc++ -lole32 -loleaut32 -luuid
          -o ${VORN_CLIENT64_EXE}
  DEPENDS ${_client64_source} ${_client64_header} ${PROJECT_SOURCE_DIR}/tests/support/Arguments.h
  COMMENT "Building the 64-bit client bin/x64/client64.exe"
  VERBATIM)

add_custom_target(vorn_client64 ALL DEPENDS ${VORN_CLIENT64_EXE})
