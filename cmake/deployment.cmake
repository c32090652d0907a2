# Deployment values: the host names of each channel and the root bundle the launcher
# trusts. They are build settings, never run-time input.
set(QUENZA_OTA_HOST_PROD "ota.quenza-prod.example" CACHE STRING "OTA server host, production channel")
set(QUENZA_OTA_HOST_DEMO "ota.quenza-demo.example" CACHE STRING "OTA server host, demonstration channel")
set(QUENZA_OTA_HOST_DEV  "ota.quenza-dev.example"  CACHE STRING "OTA server host, development channel")
set(QUENZA_APP_HOST_PROD "app.quenza-prod.example" CACHE STRING "Application server host, production channel")
set(QUENZA_APP_HOST_DEMO "app.quenza-demo.example" CACHE STRING "Application server host, demonstration channel")
set(QUENZA_APP_HOST_DEV  "app.quenza-dev.example"  CACHE STRING "Application server host, development channel")
set(QUENZA_CA_BUNDLE "${CMAKE_SOURCE_DIR}/resources/ca-roots.pem" CACHE FILEPATH
  "PEM bundle of the root certificates the launcher trusts (embedded as resource 105)")
set(QUENZA_MAX_PAYLOAD_BYTES "1073741824" CACHE STRING
  "Largest payload the launcher downloads, in bytes; a longer one fails its download (held in memory whole)")
set(QUENZA_DEPLOYMENT_FILE "" CACHE FILEPATH
  "Deployment file giving the six host names and the root bundle (see deploy/example.deployment); its values win over the variables above")

include(${CMAKE_CURRENT_LIST_DIR}/deployment_check.cmake)
if(QUENZA_DEPLOYMENT_FILE)
  get_filename_component(_deployment_file "${QUENZA_DEPLOYMENT_FILE}" ABSOLUTE)
  quenza_read_deployment_file("${_deployment_file}" _deployment)
  # Plain variables shadow the cache entries, so dropping the file later brings the
  # cached values back instead of leaving the file's behind.
  foreach(_key OTA_HOST_PROD OTA_HOST_DEMO OTA_HOST_DEV APP_HOST_PROD APP_HOST_DEMO APP_HOST_DEV CA_BUNDLE)
    set(QUENZA_${_key} "${_deployment_${_key}}")
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_deployment_file}")
elseif(QUENZA_RELEASE)
  message(FATAL_ERROR "A release build needs a deployment file: -DQUENZA_DEPLOYMENT_FILE=<file> "
    "(or QUENZA_DEPLOYMENT=<file> in the environment with the release presets); "
    "deploy/example.deployment shows the form.")
endif()

if(WIN32)
  enable_language(RC)
else()
  enable_language(ASM)
endif()

set(QUENZA_RESOURCE_DIR "${CMAKE_SOURCE_DIR}/resources")

# quenza_add_deployment(<name> OTA_HOSTS prod demo dev APP_HOSTS prod demo dev CA_BUNDLE file
#                       MAX_PAYLOAD_BYTES n)
# makes the object library <name>: the host-name tables, the payload size bound and the
# embedded resources of one kind of launcher. The logic in quenza_core reads both through env/deployment.h and
# resources/resources.h, so the same library serves every launcher and the tests.
function(quenza_add_deployment name)
  cmake_parse_arguments(PARSE_ARGV 1 D "" "CA_BUNDLE;MAX_PAYLOAD_BYTES" "OTA_HOSTS;APP_HOSTS")
  # A payload is held in memory whole, so the bound must fit a 64-bit size and be sane.
  if(NOT D_MAX_PAYLOAD_BYTES MATCHES "^[1-9][0-9]*$" OR D_MAX_PAYLOAD_BYTES GREATER 1099511627776)
    message(FATAL_ERROR "${name}: MAX_PAYLOAD_BYTES must be a number of bytes from 1 to 1099511627776 (1 TiB), "
      "not '${D_MAX_PAYLOAD_BYTES}'")
  endif()
  set(QUENZA_GEN_MAX_PAYLOAD "${D_MAX_PAYLOAD_BYTES}")
  foreach(kind OTA APP)
    list(LENGTH D_${kind}_HOSTS count)
    if(NOT count EQUAL 3)
      message(FATAL_ERROR "quenza_add_deployment(${name}): expected three ${kind}_HOSTS (PROD, DEMO, DEV), "
        "got \"${D_${kind}_HOSTS}\".")
    endif()
  endforeach()
  list(GET D_OTA_HOSTS 0 QUENZA_GEN_OTA_PROD)
  list(GET D_OTA_HOSTS 1 QUENZA_GEN_OTA_DEMO)
  list(GET D_OTA_HOSTS 2 QUENZA_GEN_OTA_DEV)
  list(GET D_APP_HOSTS 0 QUENZA_GEN_APP_PROD)
  list(GET D_APP_HOSTS 1 QUENZA_GEN_APP_DEMO)
  list(GET D_APP_HOSTS 2 QUENZA_GEN_APP_DEV)
  quenza_check_deployment_hosts("${QUENZA_GEN_OTA_PROD}" "${QUENZA_GEN_OTA_DEMO}" "${QUENZA_GEN_OTA_DEV}"
    "${QUENZA_GEN_APP_PROD}" "${QUENZA_GEN_APP_DEMO}" "${QUENZA_GEN_APP_DEV}")
  set(QUENZA_GEN_CA_BUNDLE "${D_CA_BUNDLE}")
  set(QUENZA_GEN_RESOURCES "${QUENZA_RESOURCE_DIR}")
  set(gen "${CMAKE_BINARY_DIR}/gen/${name}")
  configure_file("${CMAKE_SOURCE_DIR}/env/deployment.cpp.in" "${gen}/deployment.cpp" @ONLY)
  if(WIN32)
    set(QUENZA_GEN_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
    set(QUENZA_GEN_VERSION "${PROJECT_VERSION}")
    configure_file("${QUENZA_RESOURCE_DIR}/launcher.rc.in" "${gen}/launcher.rc" @ONLY)
    set(res "${gen}/launcher.rc")
  else()
    configure_file("${QUENZA_RESOURCE_DIR}/resources.S.in" "${gen}/resources.S" @ONLY)
    set(res "${gen}/resources.S")
  endif()
  file(GLOB res_deps CONFIGURE_DEPENDS "${QUENZA_RESOURCE_DIR}/*.rgba" "${QUENZA_RESOURCE_DIR}/*.ico"
    "${QUENZA_RESOURCE_DIR}/*.manifest")
  set_source_files_properties("${res}" PROPERTIES OBJECT_DEPENDS "${res_deps};${D_CA_BUNDLE}")
  add_library(${name} OBJECT "${gen}/deployment.cpp" "${res}")
  target_link_libraries(${name} PRIVATE quenza_core)
endfunction()

# quenza_add_launcher(<exe> DEPLOYMENT <deployment>) links one launcher executable.
function(quenza_add_launcher exe)
  cmake_parse_arguments(L "" "DEPLOYMENT" "" ${ARGN})
  if(WIN32)
    add_executable(${exe} WIN32 "${CMAKE_SOURCE_DIR}/app/main_win32.cpp")
    # A launcher that carries everything it needs: no DLL beyond the system's own.
    target_link_options(${exe} PRIVATE -static -municode -mwindows)
  else()
    add_executable(${exe} "${CMAKE_SOURCE_DIR}/app/main_posix.cpp")
    # The C++ runtime goes inside too: the launcher relies on nothing beyond the C library.
    target_link_options(${exe} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  target_link_libraries(${exe} PRIVATE ${L_DEPLOYMENT} quenza_core)
  if(QUENZA_RELEASE)
    quenza_finish_release(${exe})
  endif()
endfunction()
