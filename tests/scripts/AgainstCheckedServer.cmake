# Runs script clients against the checked server build (bin/checked: undefined behaviour traps), once:
# registers it, checks that the class now names it, runs each client through RunScript.cmake, and
# registers the release server again whatever happened. Used as: cmake -D... -P AgainstCheckedServer.cmake
#   WINE_RUN  the build's wine-run;  CHECKED, RELEASE  the two servers' Windows paths
#   CLSID     the class;  CLIENTS  "<name>=<script host>|<script>" entries, ";"-separated
#   RUN_DIR   the clients' working folder;  WORK  a folder for their output
cmake_minimum_required(VERSION 3.21)

function(register dll)
  execute_process(COMMAND ${WINE_RUN} regsvr32 /s ${dll} RESULT_VARIABLE failed INPUT_FILE /dev/null
                  OUTPUT_QUIET ERROR_QUIET TIMEOUT 120)
  if(failed)
    message(SEND_ERROR "regsvr32 ${dll} failed: ${failed}")
  endif()
endfunction()

register(${CHECKED})
execute_process(COMMAND ${WINE_RUN} reg query "HKCR\\CLSID\\${CLSID}\\InprocServer32" /ve
                OUTPUT_VARIABLE registered ERROR_QUIET INPUT_FILE /dev/null TIMEOUT 60)
string(FIND "${registered}" "checked\\Vornlink.dll" named)
set(failures "")
if(named EQUAL -1)
  list(APPEND failures "registration: the class doesn't name the checked server (${registered})")
else()
  foreach(client IN LISTS CLIENTS)
    string(REGEX REPLACE "=.*" "" name "${client}")
    string(REGEX REPLACE "^[^=]*=" "" command "${client}")
    file(MAKE_DIRECTORY ${WORK}/${name})
    execute_process(COMMAND ${CMAKE_COMMAND} "-DCOMMAND=${command}" "-DOUTPUT=${WORK}/${name}/output.txt"
                            "-DTRAFFIC_LOG=${WORK}/${name}/traffic.log"
                            "-DPASS=PASS: [1-9][0-9]* checks" -DTIMEOUT=120
                            -P ${CMAKE_CURRENT_LIST_DIR}/RunScript.cmake
                    WORKING_DIRECTORY ${RUN_DIR} RESULT_VARIABLE failed)
    if(failed)
      list(APPEND failures ${name})
    endif()
  endforeach()
endif()
register(${RELEASE})
if(failures)
  message(FATAL_ERROR "failed against the checked server: ${failures}")
endif()
message("PASS: every client against the checked server")
