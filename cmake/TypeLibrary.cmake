# Compiles an IDL file into a type library and a C/C++ header: widl when cross-building, MIDL on Windows.
function(vorn_compile_idl idl header tlb)
  get_filename_component(idl_path ${idl} ABSOLUTE)
  if(VORN_WIDL)
    set(cmd ${VORN_WIDL} -I ${VORN_WIDL_INCLUDE} -L ${VORN_WIDL_TLBDIR}
            -t -h -H ${header} -T ${tlb} ${idl_path})
  else()
    set(cmd midl /nologo /win32 /tlb ${tlb} /h ${header} ${idl_path})
  endif()
  add_custom_command(OUTPUT ${header} ${tlb}
                     COMMAND ${cmd}
                     DEPENDS ${idl_path}
                     COMMENT "Compiling type library ${idl}")
endfunction()
