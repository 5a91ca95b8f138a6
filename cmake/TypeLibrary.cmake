# Compiles an IDL file into a type library and a C/C++ header: widl when cross-building, MIDL on Windows.
# widl stamps the library with the current time (its custom data, which the build strips but whose
# bytes stay in the file) and knows no SOURCE_DATE_EPOCH: faketime stops the clock (-f; without it the
# clock only starts at the given time and runs on), so the library is the same bytes at every build.
find_program(VORN_FAKETIME faketime)
function(vorn_compile_idl idl header tlb)
  get_filename_component(idl_path ${idl} ABSOLUTE)
  if(VORN_WIDL)
    set(cmd ${VORN_WIDL} -I ${VORN_WIDL_INCLUDE} -L ${VORN_WIDL_TLBDIR}
            -t -h -H ${header} -T ${tlb} ${idl_path})
    if(VORN_FAKETIME)
      set(cmd ${CMAKE_COMMAND} -E env TZ=UTC ${VORN_FAKETIME} -f "1970-01-01 00:00:00" ${cmd})
    else()
      message(WARNING "faketime not found: the type library carries the time of its build")
    endif()
  else()
    set(cmd midl /nologo /win32 /tlb ${tlb} /h ${header} ${idl_path})
  endif()
  add_custom_command(OUTPUT ${header} ${tlb}
                     COMMAND ${cmd}
                     DEPENDS ${idl_path}
                     COMMENT "Compiling type library ${idl}"
                     VERBATIM)
endfunction()
