# Hardening: hostile input on every method and both routes, an independent model against long random
# call sequences, faults of the module library, leaks over a million calls, heap checking, registration
# cycles and fullcal's argument shapes. See tests/hardening/README.md.
#
# Tests named in VORN_HARDENING_KNOWN_FAULTS (GoogleTest names, ':'-separated) fail until the fault
# entered in tests/hardening/FAULTS.md is fixed; they run under the prefix "hardening_known_fault."
# instead of "hardening.". Remove a name from the list once its fault is fixed.
set(VORN_HARDENING_KNOWN_FAULTS "")

# Faults only the checked build (bin/checked) reveals: undefined behaviour that traps there.
set(VORN_HARDENING_KNOWN_FAULTS_CHECKED "")

add_executable(hardening_tests
  hardening/Harness.cpp
  hardening/CommandModel.cpp
  hardening/CallRunner.cpp
  hardening/RandomCalls.cpp
  hardening/ModelTests.cpp
  hardening/AbuseTests.cpp
  hardening/ModuleFaultTests.cpp
  hardening/LeakTests.cpp
  hardening/RegistrationTests.cpp
  hardening/HeapCheckCanary.cpp
  hardening/ConcurrencyTests.cpp)
target_include_directories(hardening_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/hardening ${CMAKE_BINARY_DIR}/server)
target_link_libraries(hardening_tests PRIVATE GTest::gtest_main ole32 oleaut32 uuid psapi advapi32)
# The generated interface header comes with the server's build.
add_dependencies(hardening_tests Vornlink vorn_sim vorn_sim_noquery vorn_sim_quiet vorn_sim_late vorn_sim_late_query)

# True when the GoogleTest name matches one of the ':'-separated globs.
function(vorn_glob_match name globs result)
  set(${result} FALSE PARENT_SCOPE)
  string(REPLACE ":" ";" globs "${globs}")
  foreach(glob IN LISTS globs)
    string(REPLACE "." "\\." regex "${glob}")
    string(REPLACE "*" ".*" regex "${regex}")
    string(REPLACE "?" "." regex "${regex}")
    if(name MATCHES "^${regex}$")
      set(${result} TRUE PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

# vorn_hardening_gtest(<ctest name prefix> <gtest filter> [PROPERTIES ...]): the tests of the filter;
# the known faults among them under the prefix with "hardening_known_fault." for "hardening.".
function(vorn_hardening_gtest prefix filter)
  string(FIND "${filter}" "-" dash)
  if(dash EQUAL -1)
    set(positive "${filter}")
    set(negative "")
  else()
    string(SUBSTRING "${filter}" 0 ${dash} positive)
    math(EXPR after "${dash} + 1")
    string(SUBSTRING "${filter}" ${after} -1 negative)
  endif()
  set(known "")
  string(REPLACE ":" ";" candidates "${VORN_HARDENING_KNOWN_FAULTS}")
  foreach(name IN LISTS candidates)
    set(in TRUE)
    if(positive)
      vorn_glob_match(${name} "${positive}" in)
    endif()
    vorn_glob_match(${name} "${negative}" out)
    if(in AND NOT out)
      list(APPEND known ${name})
    endif()
  endforeach()
  string(REPLACE ";" ":" known "${known}")
  set(own "${filter}")
  if(known)
    if(negative OR dash GREATER -1)
      set(own "${filter}:${known}")
    else()
      set(own "${filter}-${known}")
    endif()
    string(REPLACE "hardening." "hardening_known_fault." known_prefix "${prefix}")
    vorn_add_gtest(hardening_tests TEST_PREFIX "${known_prefix}" TEST_FILTER "${known}" ${ARGN})
  endif()
  vorn_add_gtest(hardening_tests TEST_PREFIX "${prefix}" TEST_FILTER "${own}" ${ARGN})
endfunction()

vorn_hardening_gtest("hardening." "-Registration.*:HeapCheck.*")
# Registration tests unregister the server: nothing may run beside them.
vorn_hardening_gtest("hardening." "Registration.*" PROPERTIES RUN_SERIAL TRUE)
# The model in a double-byte code page and with a decimal comma.
vorn_hardening_gtest("hardening.ja_JP." "Model.*" PROPERTIES ENVIRONMENT "VORN_LC_ALL=ja_JP.UTF-8")
# Wine keeps the user's separators in the prefix's registry and rewrites them whenever a process of
# another locale starts; one started beside this one can make "1,000" read as a thousand in it.
vorn_hardening_gtest("hardening.de_DE." "Model.*" PROPERTIES ENVIRONMENT "VORN_LC_ALL=de_DE.UTF-8" RUN_SERIAL TRUE)

# Checked builds of the server and of fullcal from their own sources: undefined behaviour (signed
# overflow, out-of-bounds shifts and indexes, null references, misaligned access) traps at once, and
# the standard library checks its bounds and preconditions. The heap check and the fullcal argument
# runs use them (bin/checked).
set(VORN_CHECKED_FLAGS -fsanitize=undefined -fsanitize-undefined-trap-on-error -D_GLIBCXX_ASSERTIONS)
if(NOT MSVC)
  # Sources of a target as absolute paths (generated ones stay where their directory builds them).
  function(vorn_sources_of target out)
    get_target_property(sources ${target} SOURCES)
    get_target_property(directory ${target} SOURCE_DIR)
    set(result "")
    foreach(source IN LISTS sources)
      if(NOT IS_ABSOLUTE "${source}")
        set(source "${directory}/${source}")
      endif()
      list(APPEND result "${source}")
    endforeach()
    set(${out} "${result}" PARENT_SCOPE)
  endfunction()

  vorn_sources_of(Vornlink server_sources)
  vorn_sources_of(vornlink_commands command_sources)
  vorn_sources_of(vorn_method_table table_sources)
  get_target_property(server_generated Vornlink BINARY_DIR)
  set_source_files_properties(${server_generated}/VornDriver.h ${server_generated}/Vornlink.def
                              PROPERTIES GENERATED TRUE)
  add_library(vornlink_checked SHARED ${server_sources} ${command_sources} ${table_sources})
  target_include_directories(vornlink_checked PRIVATE ${PROJECT_SOURCE_DIR}/server ${server_generated})
  target_compile_options(vornlink_checked PRIVATE ${VORN_CHECKED_FLAGS})
  target_link_libraries(vornlink_checked PRIVATE oleaut32 ole32 user32 uuid advapi32)
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/server/Vornlink.rc APPEND PROPERTY OBJECT_DEPENDS
               ${server_generated}/VornDriver.tlb)
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/server/Vornlink.rc APPEND PROPERTY COMPILE_OPTIONS -I${server_generated})
  set_target_properties(vornlink_checked PROPERTIES PREFIX "" OUTPUT_NAME Vornlink
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/checked LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/checked)
  add_dependencies(vornlink_checked Vornlink)

  vorn_sources_of(fullcal fullcal_sources)
  vorn_sources_of(fullcal_core fullcal_core_sources)
  add_executable(fullcal_checked ${fullcal_sources} ${fullcal_core_sources})
  target_include_directories(fullcal_checked PRIVATE ${PROJECT_SOURCE_DIR}/console)
  target_compile_options(fullcal_checked PRIVATE ${VORN_CHECKED_FLAGS})
  target_link_libraries(fullcal_checked PRIVATE ole32 oleaut32 uuid user32)
  set_target_properties(fullcal_checked PROPERTIES OUTPUT_NAME fullcal
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/checked)
  add_dependencies(hardening_tests vornlink_checked fullcal_checked)
endif()

# Tests under Wine's heap checking, against the checked server (tests/hardening/heap_check.sh), each in a
# process of its own, as ctest runs the others.
if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX AND NOT MSVC)
  set(heap_checked
    Model.HostileStringsOnEveryMethodThroughBothRoutes Model.ExtremeNumbersThroughBothRoutes
    Model.RandomSequences Model.RandomSequencesWhileTheLibraryIsMissingThenAppears
    Model.RandomSequencesWithALibraryLackingTheQueryEntry
    Abuse.MalformedInvokeRequestsAreRefusedCleanly Abuse.NullPointersOnTheVtableAreRefusedWithErrorInformation
    Abuse.IDispatchAndIUnknownWithHostileArguments Abuse.DispatchIdentifiersFarOutsideTheRangeAreRefused
    Abuse.ArgumentWhoseCoercionCallsBackIntoTheObject Abuse.ObjectReleasedWhileItsInvokeCoercesAnArgument
    Abuse.OneStringPassedForBothParameters Abuse.GetIDsOfNamesWithNullPointersFailsCleanly
    ModuleFaults.MissingLibraryFailsEverySendingCallUntilItAppears
    ModuleFaults.FileThatIsNoLibraryFailsEveryCallUntilTheRealOneIsFound
    ModuleFaults.LibraryWithoutTheQueryEntrySendsTheQueryThenFails
    ModuleFaults.QueryEntryThatAppearsWhileTheLibraryIsLoaded ModuleFaults.RepliesThatFillOverrunOrGarbleTheBuffer)
  string(REPLACE ":" ";" known "${VORN_HARDENING_KNOWN_FAULTS}:${VORN_HARDENING_KNOWN_FAULTS_CHECKED}")
  foreach(name IN LISTS heap_checked)
    set(prefix hardening.heap_checked)
    if(name IN_LIST known)
      set(prefix hardening_known_fault.heap_checked)
    endif()
    add_test(NAME ${prefix}.${name} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/hardening/heap_check.sh ${name})
    set_tests_properties(${prefix}.${name} PROPERTIES
      ENVIRONMENT "VORN_BIN=${CMAKE_BINARY_DIR}/bin;VORN_WINE_RUN=${CMAKE_BINARY_DIR}/wine-run"
      TIMEOUT 280)
  endforeach()
endif()

# fullcal with every shape of command line, the release build and the checked one, and the checked one
# with code page 932.
if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX AND NOT MSVC)
  foreach(run release checked checked_ja_JP)
    string(REGEX REPLACE "_.*" "" build ${run})
    set(environment "VORN_BIN=${CMAKE_BINARY_DIR}/bin;VORN_WINE_RUN=${CMAKE_BINARY_DIR}/wine-run")
    if(run MATCHES "ja_JP")
      list(APPEND environment "VORN_LC_ALL=ja_JP.UTF-8")
    endif()
    add_test(NAME hardening.fullcal_arguments.${run}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/hardening/fullcal_arguments.sh ${build})
    set_tests_properties(hardening.fullcal_arguments.${run} PROPERTIES ENVIRONMENT "${environment}" TIMEOUT 280)
  endforeach()
endif()
