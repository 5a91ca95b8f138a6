# The installer package under Wine's msiexec: install, run, uninstall, reinstall, repair, upgrade,
# downgrade, and the installer's registration against the server's own. Driven from the host shell:
# each case compares whole registry and file states of a Wine prefix of its own.
if(NOT TARGET vornlink_msi OR NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_HOST_UNIX)
  return()
endif()

# The same source at the next patch version: what an upgrade installs and a downgrade refuses.
math(EXPR _next_patch "${PROJECT_VERSION_PATCH} + 1")
set(_next_version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${_next_patch})
vorn_add_msi(vornlink_msi_next ${CMAKE_CURRENT_BINARY_DIR}/installer/Vornlink-${_next_version}.msi ${_next_version})

set(_work ${CMAKE_CURRENT_BINARY_DIR}/installer)
set(_program_files "Program Files (x86)")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_program_files "Program Files")
endif()
get_target_property(_msi vornlink_msi VORN_MSI_FILE)
get_target_property(_product vornlink_msi VORN_PRODUCT_CODE)
get_target_property(_msi_next vornlink_msi_next VORN_MSI_FILE)
get_target_property(_product_next vornlink_msi_next VORN_PRODUCT_CODE)
set(_environment
  "VORN_WINE_RUN=${CMAKE_BINARY_DIR}/wine-run"
  "VORN_TEMPLATE=${_work}/template-prefix"
  "VORN_WORK=${_work}"
  "VORN_BIN=${CMAKE_BINARY_DIR}/bin"
  "VORN_SOURCE=${PROJECT_SOURCE_DIR}"
  "VORN_TEST_DIR=${CMAKE_CURRENT_SOURCE_DIR}/installer"
  "VORN_GENERATED=${VORN_INSTALLER_GENERATED}"
  "VORN_UPGRADE_CODE=${VORN_UPGRADE_CODE}"
  "VORN_MSI=${_msi}"
  "VORN_VERSION=${PROJECT_VERSION}"
  "VORN_PRODUCT_CODE=${_product}"
  "VORN_MSI_NEXT=${_msi_next}"
  "VORN_VERSION_NEXT=${_next_version}"
  "VORN_PRODUCT_CODE_NEXT=${_product_next}"
  "VORN_PROGRAM_FILES=${_program_files}")

# A freshly booted prefix, copied by each case.
add_test(NAME installer.template COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/installer/installer_e2e.sh template)
set_tests_properties(installer.template PROPERTIES
  FIXTURES_SETUP installer.template ENVIRONMENT "${_environment}" TIMEOUT 200)

# The 64-bit test build's package serves the network service's case alone: the others check the 32-bit
# product's registration and folders.
set(_cases service)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  list(PREPEND _cases registration registration_elsewhere install_uninstall simulated_module twice_and_repair upgrade
       downgrade)
endif()
foreach(_case IN LISTS _cases)
  add_test(NAME installer.${_case} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/installer/installer_e2e.sh ${_case})
  set_tests_properties(installer.${_case} PROPERTIES
    FIXTURES_REQUIRED installer.template ENVIRONMENT "${_environment}" TIMEOUT 280)
endforeach()
