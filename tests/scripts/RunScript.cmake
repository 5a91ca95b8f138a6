# Runs one automation client under Wine and judges it. Used as: cmake -D... -P RunScript.cmake
#   COMMAND      the program and its arguments, separated by "|"
#   OUTPUT       file that receives the program's standard output (its standard error goes to OUTPUT.err)
#   PASS         regular expression the output must match
#   TRAFFIC_LOG  optional: file the simulated module records its traffic in (passed on as VORN_SIM_LOG)
#   EXPECT_SENT  optional: the command lines the module must have received, in order, separated by "|"
#   TIMEOUT      seconds before the program is stopped
#
# Wine's cscript exits 0 even after a script error, so the exit code alone proves nothing: a run passes
# only with exit code 0 and the PASS line. Output goes to files, not to pipes: a COM surrogate started
# for a 64-bit client outlives it and would keep a pipe open.
cmake_minimum_required(VERSION 3.21)

foreach(required COMMAND OUTPUT PASS TIMEOUT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "RunScript.cmake: ${required} is not set")
  endif()
endforeach()

string(REPLACE "|" ";" command "${COMMAND}")

if(DEFINED TRAFFIC_LOG)
  file(REMOVE "${TRAFFIC_LOG}")
  if(CMAKE_HOST_WIN32)
    file(TO_NATIVE_PATH "${TRAFFIC_LOG}" windows_log)
  else()
    string(REPLACE "/" "\\" windows_log "Z:${TRAFFIC_LOG}")
  endif()
  set(ENV{VORN_SIM_LOG} "${windows_log}")
endif()

set(no_input)
if(EXISTS /dev/null)
  set(no_input INPUT_FILE /dev/null)
endif()

file(REMOVE "${OUTPUT}" "${OUTPUT}.err")
execute_process(COMMAND ${command}
                ${no_input}
                OUTPUT_FILE "${OUTPUT}"
                ERROR_FILE "${OUTPUT}.err"
                RESULT_VARIABLE exit_code
                TIMEOUT ${TIMEOUT})

set(output "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" output)
endif()
string(REPLACE "\r" "" output "${output}")
message("${output}")

set(failures "")
if(NOT exit_code STREQUAL "0")
  string(APPEND failures "exit code: ${exit_code}\n")
endif()
if(NOT output MATCHES "${PASS}")
  string(APPEND failures "no line matching \"${PASS}\": the client stopped early (a script error?)\n")
endif()

if(DEFINED EXPECT_SENT)
  set(sent "")
  if(EXISTS "${TRAFFIC_LOG}")
    file(STRINGS "${TRAFFIC_LOG}" records)
    foreach(record IN LISTS records)
      if(record MATCHES "^> (.*)$")
        list(APPEND sent "${CMAKE_MATCH_1}")
      endif()
    endforeach()
  endif()
  string(REPLACE ";" "|" sent "${sent}")
  if(NOT sent STREQUAL EXPECT_SENT)
    string(APPEND failures "the module received [${sent}], expected [${EXPECT_SENT}]\n")
  endif()
endif()

if(failures)
  if(EXISTS "${OUTPUT}.err")
    file(READ "${OUTPUT}.err" errors)
    if(errors)
      message("standard error:\n${errors}")
    endif()
  endif()
  message(FATAL_ERROR "${failures}")
endif()
