# Cross build for 64-bit Windows with mingw-w64 on Debian; binaries run under 64-bit Wine. The product is
# the 32-bit build; this one is what the tests run where the kernel runs no 32-bit code (scripts/common.sh).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_triple x86_64-w64-mingw32)
set(VORN_WIDL_TLBDIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
include(${CMAKE_CURRENT_LIST_DIR}/MingwCross.cmake)
