# Writes a .def file that exports __stdcall functions by plain name with ordinals from 1.
# GNU ld needs the decoration (name@argument-bytes) spelled out; the Microsoft linker resolves the
# plain name to the decorated symbol itself.
#   vorn_stdcall_def(<def file> <library name> [PRIVATE] name@bytes...)
function(vorn_stdcall_def def library)
  set(flags "")
  set(entries ${ARGN})
  if(entries AND "${ARGV2}" STREQUAL "PRIVATE")
    set(flags " PRIVATE")
    list(REMOVE_AT entries 0)
  endif()
  set(exports "")
  set(ordinal 1)
  foreach(entry IN LISTS entries)
    string(REPLACE "@" ";" parts "${entry}")
    list(GET parts 0 name)
    if(MSVC)
      string(APPEND exports "    ${name} @${ordinal}${flags}\n")
    else()
      string(APPEND exports "    ${name} = ${entry} @${ordinal}${flags}\n")
    endif()
    math(EXPR ordinal "${ordinal} + 1")
  endforeach()
  file(CONFIGURE OUTPUT ${def} CONTENT "LIBRARY ${library}\nEXPORTS\n${exports}" @ONLY)
endfunction()

# A library loaded by name at run time only (so no import library), alone in its folder:
#   vorn_module_library(<target> <file name without .dll> <folder> <def file> <sources>...)
function(vorn_module_library target name folder def)
  add_library(${target} MODULE ${ARGN} ${def})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${name} PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${folder}
    LIBRARY_OUTPUT_DIRECTORY ${folder})
endfunction()
