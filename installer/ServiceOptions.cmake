# The service's options as the package's public properties: each VORNLAN_<NAME> becomes the option on the
# service's command line (after --service, which alone makes vornlan run as the service), is kept under
# HKLM\Software\Vornlink\vornlan for the next upgrade or repair
# (a value given on msiexec's command line wins over the kept one), and falls back to its default.
#   <NAME>|<option>|<default>
set(VORN_SERVICE_OPTIONS
  "LISTEN|--listen|127.0.0.1"
  "ALLOW|--allow|"
  "LOCAL|--local|"
  "RAW_PORT|--raw-port|5025"
  "VXI11_PORT|--vxi11-port|1024"
  "HISLIP_PORT|--hislip-port|4880"
  "HTTP_PORT|--http-port|80"
  "MDNS|--mdns|on"
  "MAX_CLIENTS|--max-clients|16")

# Writes ServiceOptions.wxi (properties, searches, actions), ServiceOptionSteps.wxi (their place in the
# sequence, right after AppSearch) and VornlanService.wxi (the service and the kept values) into <folder>.
function(vorn_service_options folder)
  set(key "Software\\Vornlink\\vornlan")
  set(head "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- Generated from installer/ServiceOptions.cmake. -->\n<Include>\n")
  set(options "${head}")
  set(steps "${head}")
  set(service "${head}")
  set(arguments "")
  set(sequence 51) # AppSearch is 50
  foreach(entry IN LISTS VORN_SERVICE_OPTIONS)
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 name)
    list(GET entry 1 option)
    list(LENGTH entry fields)
    set(default "")
    if(fields GREATER 2)
      list(GET entry 2 default)
    endif()
    string(MAKE_C_IDENTIFIER "${name}" id)
    string(APPEND options
      "  <Property Id=\"VORNLAN_KEPT_${name}\">\n"
      "    <RegistrySearch Id=\"Kept_${id}\" Root=\"HKLM\" Key=\"${key}\" Name=\"${name}\" Type=\"raw\" Win64=\"$(var.NativeWin64)\"/>\n"
      "  </Property>\n"
      "  <CustomAction Id=\"Keep_${id}\" Property=\"VORNLAN_${name}\" Value=\"[VORNLAN_KEPT_${name}]\"/>\n")
    string(APPEND steps
      "  <Custom Action=\"Keep_${id}\" Sequence=\"${sequence}\">VORNLAN_KEPT_${name} AND NOT VORNLAN_${name}</Custom>\n")
    math(EXPR sequence "${sequence} + 1")
    if(NOT default STREQUAL "")
      string(APPEND options "  <CustomAction Id=\"Default_${id}\" Property=\"VORNLAN_${name}\" Value=\"${default}\"/>\n")
      string(APPEND steps "  <Custom Action=\"Default_${id}\" Sequence=\"${sequence}\">NOT VORNLAN_${name}</Custom>\n")
      math(EXPR sequence "${sequence} + 1")
    endif()
    string(APPEND service
      "  <RegistryValue Root=\"HKLM\" Key=\"${key}\" Name=\"${name}\" Value=\"[VORNLAN_${name}]\" Type=\"string\"/>\n")
    # Quoted: an empty value is still an argument (the option's default).
    string(APPEND arguments "${option} &quot;[VORNLAN_${name}]&quot; ")
  endforeach()
  string(APPEND service
    "  <ServiceInstall Id=\"VornlanService\" Name=\"vornlan\" DisplayName=\"Vorn module network access (vornlan)\"\n"
    "                  Description=\"Serves the Vorn calibration module to VISA clients on the network (raw SCPI socket, VXI-11) and shows it on a web page.\"\n"
    "                  Type=\"ownProcess\" Start=\"auto\" ErrorControl=\"normal\" Account=\"NT AUTHORITY\\LocalService\"\n"
    "                  Arguments=\"--service ${arguments}--log &quot;[ServiceLogFolder]vornlan.log&quot;\"/>\n")
  foreach(part options steps service)
    string(APPEND ${part} "</Include>\n")
  endforeach()
  file(CONFIGURE OUTPUT ${folder}/ServiceOptions.wxi CONTENT "${options}" @ONLY)
  file(CONFIGURE OUTPUT ${folder}/ServiceOptionSteps.wxi CONTENT "${steps}" @ONLY)
  file(CONFIGURE OUTPUT ${folder}/VornlanService.wxi CONTENT "${service}" @ONLY)
endfunction()
