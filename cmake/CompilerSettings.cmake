# Warnings and Windows API settings shared by every target.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
if(MSVC)
  add_compile_options(/W4 /permissive- /utf-8)
  set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
else()
  add_compile_options(-Wall -Wextra -Wpedantic)
endif()

if(NOT MSVC)
  include(${CMAKE_CURRENT_LIST_DIR}/Reproducible.cmake)
  include(${CMAKE_CURRENT_LIST_DIR}/SplitDebugInfo.cmake)
endif()
