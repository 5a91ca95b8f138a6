# Builds the Windows Installer package from built binaries; run as a script:
#   cmake -DPARAMETERS=<installer/generated/package-<version>.cmake> -DBIN=<folder> -DOUTPUT=<msi>
#         [-DFILES=<staging folder>] -P BuildPackage.cmake
# BIN holds the binaries as the build lays them out (Vornlink.dll, fullcal.exe, sim/Vorn.dll): the build's
# own bin/, or a release's signed copies. PARAMETERS, written by the build, gives the rest. The files are
# staged as installed in FILES (default <msi>.files).
#
# The same inputs give the same bytes: files are staged with one time stamp (the cabinet records each
# file's), wixl and msibuild run at that time (the summary's dates), and the package code, which wixl
# draws at random, is derived from what goes into the package. The time is SOURCE_DATE_EPOCH when set
# (a release sets the commit's), else 1 January 1980, the earliest a cabinet can record.
cmake_minimum_required(VERSION 3.21)
foreach(required PARAMETERS BIN OUTPUT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "BuildPackage.cmake: -D${required}=... is required")
  endif()
endforeach()
include(${PARAMETERS})
include(${CMAKE_CURRENT_LIST_DIR}/ShortNames.cmake)

set(epoch 315532800)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
endif()
execute_process(COMMAND date -u -d @${epoch} "+%Y-%m-%d %H:%M:%S" OUTPUT_VARIABLE clock
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

set(at_clock "")
# -f: a stopped clock, not one that starts at that time and runs on.
if(FAKETIME)
  set(at_clock ${CMAKE_COMMAND} -E env TZ=UTC ${FAKETIME} -f ${clock})
endif()
function(run)
  execute_process(COMMAND ${at_clock} ${ARGN}
                  WORKING_DIRECTORY / RESULT_VARIABLE failed)
  if(failed)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "BuildPackage.cmake: ${command} failed (${failed})")
  endif()
endfunction()

# The files as they are installed, from the package's list (installed name and source).
set(files "${OUTPUT}.files")
if(DEFINED FILES)
  set(files "${FILES}")
endif()
file(REMOVE_RECURSE ${files})
set(index 0)
set(listed "")
foreach(entry IN LISTS PACKAGE_FILES)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 feature)
  list(GET entry 1 installed)
  list(GET entry 2 source)
  list(APPEND listed "${feature}|${installed}")
  string(REPLACE "<bin>" "${BIN}" source "${source}")
  get_filename_component(folder "${files}/${installed}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  file(COPY_FILE "${source}" "${files}/${installed}" ONLY_IF_DIFFERENT)
  file(SHA256 "${files}/${installed}" hash)
  string(APPEND content "${installed} ${hash}\n")
endforeach()
# By name: the folders differ from one build to the next.
foreach(source IN LISTS PACKAGE_DEFINITIONS)
  file(SHA256 ${source} hash)
  get_filename_component(name ${source} NAME)
  string(APPEND content "${name} ${hash}\n")
endforeach()
execute_process(COMMAND touch -h -d @${epoch} ${files} COMMAND_ERROR_IS_FATAL ANY)
file(GLOB_RECURSE staged LIST_DIRECTORIES true ${files}/*)
execute_process(COMMAND touch -h -d @${epoch} ${staged} COMMAND_ERROR_IS_FATAL ANY)
string(UUID package_code NAMESPACE ${UPGRADE_CODE} NAME "${VERSION}\n${content}" TYPE SHA1 UPPER)

file(REMOVE ${OUTPUT})
# wixl takes no absolute path for a file's source: from the root folder, "./<absolute path>" is relative.
run(${WIXL} --arch x64 -I ${GENERATED} -o ${OUTPUT}
    -D Version=${VERSION} -D ProductCode=${PRODUCT_CODE} -D UpgradeCode=${UPGRADE_CODE} -D Files=.${files}
    -D NativeWin64=${NATIVE_WIN64} -D ProgramFiles=${PROGRAM_FILES}
    ${PACKAGE_DEFINITIONS})
# The files the package installs, each with its feature and its folder under INSTALLDIR, are exactly the
# list's: the WiX source and the list the tests read can't drift apart.
function(table_rows table out)
  execute_process(COMMAND ${MSIINFO} export ${OUTPUT} ${table} OUTPUT_VARIABLE text COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\r" "" text "${text}")
  string(REGEX MATCHALL "[^\n]+" rows "${text}")
  list(SUBLIST rows 3 -1 rows) # the column names, types and the table's name
  set(${out} "${rows}" PARENT_SCOPE)
endfunction()
table_rows(Directory directories)
foreach(row IN LISTS directories)
  string(REPLACE "\t" ";" row "${row}")
  list(GET row 0 id)
  list(GET row 1 parent)
  list(GET row 2 name)
  set("parent_of_${id}" "${parent}")
  set("name_of_${id}" "${name}")
endforeach()
table_rows(Component components)
foreach(row IN LISTS components)
  string(REPLACE "\t" ";" row "${row}")
  list(GET row 0 component)
  list(GET row 2 id)
  set(path "")
  while(NOT id STREQUAL "INSTALLDIR")
    if(id STREQUAL "")
      set(path "(outside INSTALLDIR)/")
      break()
    endif()
    if(NOT "${name_of_${id}}" STREQUAL ".")
      set(path "${name_of_${id}}/${path}")
    endif()
    set(id "${parent_of_${id}}")
  endwhile()
  set("folder_of_${component}" "${path}")
endforeach()
table_rows(FeatureComponents features)
foreach(row IN LISTS features)
  string(REPLACE "\t" ";" row "${row}")
  list(GET row 0 feature)
  list(GET row 1 component)
  set("feature_of_${component}" "${feature}")
endforeach()
table_rows(File files_table)
set(packaged "")
foreach(row IN LISTS files_table)
  string(REPLACE "\t" ";" row "${row}")
  list(GET row 1 component)
  list(GET row 2 name)
  list(APPEND packaged "${feature_of_${component}}|${folder_of_${component}}${name}")
endforeach()
list(SORT listed)
list(SORT packaged)
if(NOT listed STREQUAL packaged)
  list(JOIN listed "\n  " listed)
  list(JOIN packaged "\n  " packaged)
  message(FATAL_ERROR "BuildPackage.cmake: the package's files (feature|path) are not its list's:\n"
                      "listed:\n  ${listed}\npackaged:\n  ${packaged}")
endif()

# wixl has no element for a RemoveFile row with a file name: the records the simulated and the tracing
# module write beside themselves go with the uninstall.
function(remove_on_uninstall key component name folder)
  run(${MSIBUILD} ${OUTPUT} -q
      "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('${key}', '${component}', '${name}', '${folder}', 2)")
endfunction()
remove_on_uninstall(SimulatedModuleLog SimulatedModule VornSim.log SimulatedModuleFolder)
remove_on_uninstall(TracingModuleLog TracingModule "VORNTR~1.LOG|VornTrace.log" TracingModuleFolder)
remove_on_uninstall(TracingModuleOldLog TracingModule "VORNTR~1.1|VornTrace.log.1" TracingModuleFolder)
remove_on_uninstall(ServiceLogFile ServiceLog vornlan.log ServiceLogFolder)
remove_on_uninstall(ServiceOldLogFile ServiceLog "VORNLA~1.1|vornlan.log.1" ServiceLogFolder)
vorn_short_name_updates(${OUTPUT} updates)
foreach(update IN LISTS updates)
  run(${MSIBUILD} ${OUTPUT} -q "${update}")
endforeach()
# The summary as wixl wrote it, with the package code in place of its random one.
execute_process(COMMAND ${MSIINFO} suminfo ${OUTPUT} OUTPUT_VARIABLE summary COMMAND_ERROR_IS_FATAL ANY)
foreach(field Subject Author Template)
  string(REGEX MATCH "\n${field}: ([^\n]*)" _ "\n${summary}")
  set(${field} "${CMAKE_MATCH_1}")
endforeach()
# Called directly: the template ("x64;1033") would split as a list through run().
execute_process(COMMAND ${at_clock} ${MSIBUILD} ${OUTPUT} -s "${Subject}" "${Author}" "${Template}" "{${package_code}}"
                COMMAND_ERROR_IS_FATAL ANY)
