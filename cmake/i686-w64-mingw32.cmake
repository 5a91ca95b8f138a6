# Cross build for 32-bit Windows with mingw-w64 on Debian; binaries run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_triple i686-w64-mingw32)
set(VORN_WIDL_TLBDIR /usr/lib/i386-linux-gnu/wine/i386-windows)
include(${CMAKE_CURRENT_LIST_DIR}/MingwCross.cmake)
