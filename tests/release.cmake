# The release (scripts/release.sh): the method reference against the committed one, signing with a
# throwaway certificate, a whole release checked file by file, and, when asked for, its reproducibility.
if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_HOST_UNIX OR NOT TARGET vornlink_msi OR CMAKE_SIZEOF_VOID_P EQUAL 8)
  return()
endif()

# The committed reference is what the build generates from the server.
add_test(NAME release.reference
         COMMAND bash -c "diff -u \"$0\" \"$1\" || { echo 'docs/reference.md is not what the server says: \
rebuild the target vornlink_reference_update and commit it'; exit 1; }"
                 ${PROJECT_SOURCE_DIR}/docs/reference.md ${VORN_REFERENCE})
set_tests_properties(release.reference PROPERTIES TIMEOUT 30)

get_target_property(_msi vornlink_msi VORN_MSI_FILE)
add_test(NAME release.signatures COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/release/signatures.sh)
set_tests_properties(release.signatures PROPERTIES
  ENVIRONMENT "VORN_SOURCE=${PROJECT_SOURCE_DIR};VORN_BIN=${CMAKE_BINARY_DIR}/bin;VORN_MSI=${_msi}"
  TIMEOUT 120)

# A release from a clean build of this source tree (about 40 s), in a folder of the test's own.
# release.reproducible builds two more, from two clones of the commit in other folders, and compares
# the bytes: several minutes, so it runs only when VORN_TEST_REPRODUCIBLE=1 is set (it is skipped
# otherwise): VORN_TEST_REPRODUCIBLE=1 bash scripts/test.sh -R release.reproducible
foreach(_case dist reproducible)
  add_test(NAME release.${_case} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/release/release_e2e.sh ${_case})
  set_tests_properties(release.${_case} PROPERTIES
    ENVIRONMENT "VORN_SOURCE=${PROJECT_SOURCE_DIR};VORN_WORK=${CMAKE_CURRENT_BINARY_DIR}/release"
    SKIP_RETURN_CODE 77
    TIMEOUT 1200)
endforeach()
