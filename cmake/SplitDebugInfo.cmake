# Every DLL and program leaves the link stripped, its debug information in <file>.debug beside it, tied
# to it by a .gnu_debuglink section (name and CRC) through which gdb finds it. Stripped binaries are what
# the tests run and the installer and the release ship; the debug files ship in a zip of their own.
# Debug information for our own code in every configuration: -g leaves the generated code as it is.
add_compile_options(-g)
if(NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "objcopy not found: it splits the debug information off the binaries")
endif()
# objcopy stamps the PE header with the time unless SOURCE_DATE_EPOCH says otherwise; 0 is what the
# linker writes with --no-insert-timestamp.
set(_vorn_objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
list(JOIN _vorn_objcopy " " _vorn_objcopy)
foreach(lang C CXX)
  foreach(rule CREATE_SHARED_MODULE CREATE_SHARED_LIBRARY LINK_EXECUTABLE)
    list(APPEND CMAKE_${lang}_${rule}
      "${_vorn_objcopy} --only-keep-debug <TARGET> <TARGET>.debug"
      "${_vorn_objcopy} --strip-all --add-gnu-debuglink=<TARGET>.debug <TARGET>")
  endforeach()
endforeach()
