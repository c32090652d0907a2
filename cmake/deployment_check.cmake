# Reading and checking the deployment values: the OTA and application host names of the
# three channels and the root bundle. Functions only, so that a CMake script (-P) can
# load this file too.

# quenza_check_host(<what> <value>): stops the configure unless <value> is a bare DNS
# host name. The launcher puts the scheme in front of a host itself and uses the OTA
# host as part of a directory name, so a scheme, port, path or blank in it would give a
# wrong URL and an odd directory; a trailing dot would even be dropped from the
# directory name by Windows.
function(quenza_check_host what value)
  set(hint "expected a bare host name such as ota.example.com")
  if(value STREQUAL "")
    message(FATAL_ERROR "Deployment: ${what} is empty; ${hint}.")
  endif()
  if(value MATCHES "[ \t\r\n]")
    message(FATAL_ERROR "Deployment: ${what} \"${value}\" contains a blank; ${hint}.")
  endif()
  if(value MATCHES "://")
    message(FATAL_ERROR "Deployment: ${what} \"${value}\" names a scheme; ${hint} (the launcher adds \"https://\" itself).")
  endif()
  if(value MATCHES ":")
    message(FATAL_ERROR "Deployment: ${what} \"${value}\" names a port; ${hint} (the launcher always uses the HTTPS port).")
  endif()
  if(value MATCHES "/")
    message(FATAL_ERROR "Deployment: ${what} \"${value}\" names a path; ${hint} (the launcher adds \"/ota/verify\" itself).")
  endif()
  string(LENGTH "${value}" length)
  set(label "[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?")
  if(length GREATER 253 OR NOT value MATCHES "^${label}(\\.${label})*$")
    message(FATAL_ERROR "Deployment: ${what} \"${value}\" is not a host name; ${hint} (letters, digits and "
      "hyphens in dot-separated labels).")
  endif()
endfunction()

# quenza_check_deployment_hosts(<ota prod> <ota demo> <ota dev> <app prod> <app demo>
# <app dev>): checks each host, then that no OTA host begins with another channel's. The
# clean-up of a run removes the edition's directories in every environment directory
# whose name begins with "https__" (or "http__") and the run's OTA host: were one
# channel's host a prefix of another's (or the same), a run of the first would delete
# the other's installs. Host names are compared without regard to letter case, as DNS
# and the Windows file system do.
function(quenza_check_deployment_hosts)
  if(NOT ARGC EQUAL 6)
    message(FATAL_ERROR "Deployment: expected six host names (OTA and application hosts of PROD, DEMO, DEV), "
      "got ${ARGC}.")
  endif()
  set(channels PROD DEMO DEV)
  set(D_OTA_HOSTS)
  foreach(i RANGE 2)
    math(EXPR k "${i} + 3")
    list(GET channels ${i} channel)
    quenza_check_host("OTA_HOST_${channel}" "${ARGV${i}}")
    quenza_check_host("APP_HOST_${channel}" "${ARGV${k}}")
    list(APPEND D_OTA_HOSTS "${ARGV${i}}")
  endforeach()
  foreach(i RANGE 2)
    foreach(j RANGE 2)
      if(i EQUAL j)
        continue()
      endif()
      list(GET channels ${i} a_channel)
      list(GET channels ${j} b_channel)
      list(GET D_OTA_HOSTS ${i} a)
      list(GET D_OTA_HOSTS ${j} b)
      string(TOLOWER "${a}" a_lower)
      string(TOLOWER "${b}" b_lower)
      string(FIND "${b_lower}" "${a_lower}" at)
      if(at EQUAL 0)
        message(FATAL_ERROR "Deployment: the OTA host of ${a_channel} (\"${a}\") is the beginning of the OTA host "
          "of ${b_channel} (\"${b}\"). A ${a_channel} launcher removes its edition from every directory named "
          "\"https__${a}...\", so it would delete the ${b_channel} installs. Give each channel an OTA host that "
          "neither equals nor begins with another channel's.")
      endif()
    endforeach()
  endforeach()
endfunction()

# quenza_read_deployment_file(<file> <prefix>): reads a deployment file (KEY=value lines,
# "#" comments; see deploy/example.deployment) and sets <prefix>_OTA_HOST_PROD ...
# <prefix>_APP_HOST_DEV and <prefix>_CA_BUNDLE (an absolute path; a relative one is read
# from the file's directory) in the caller's scope. Stops on a missing file, an unknown,
# repeated or missing key, or a root bundle that is not there.
function(quenza_read_deployment_file file prefix)
  set(keys OTA_HOST_PROD OTA_HOST_DEMO OTA_HOST_DEV APP_HOST_PROD APP_HOST_DEMO APP_HOST_DEV CA_BUNDLE)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "Deployment file \"${file}\" not found (see deploy/example.deployment).")
  endif()
  file(STRINGS "${file}" lines)
  set(seen)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    if(NOT line MATCHES "^([A-Z_]+)[ \t]*=[ \t]*(.*)$")
      message(FATAL_ERROR "Deployment file ${file}:${number}: expected KEY=value, got \"${line}\".")
    endif()
    set(key "${CMAKE_MATCH_1}")
    set(value "${CMAKE_MATCH_2}")
    if(NOT key IN_LIST keys)
      message(FATAL_ERROR "Deployment file ${file}:${number}: unknown key ${key} (known: ${keys}).")
    endif()
    if(key IN_LIST seen)
      message(FATAL_ERROR "Deployment file ${file}:${number}: ${key} is given twice.")
    endif()
    list(APPEND seen "${key}")
    set(value_${key} "${value}")
  endforeach()
  foreach(key IN LISTS keys)
    if(NOT key IN_LIST seen)
      message(FATAL_ERROR "Deployment file ${file}: ${key} is missing.")
    endif()
  endforeach()
  get_filename_component(dir "${file}" DIRECTORY)
  get_filename_component(bundle "${value_CA_BUNDLE}" ABSOLUTE BASE_DIR "${dir}")
  if(NOT EXISTS "${bundle}" OR IS_DIRECTORY "${bundle}")
    message(FATAL_ERROR "Deployment file ${file}: CA_BUNDLE \"${bundle}\" not found.")
  endif()
  foreach(key IN LISTS keys)
    set(${prefix}_${key} "${value_${key}}" PARENT_SCOPE)
  endforeach()
  set(${prefix}_CA_BUNDLE "${bundle}" PARENT_SCOPE)
endfunction()
