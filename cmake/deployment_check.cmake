# Reading and checking the deployment values: the OTA and application host names of the
# three channels and the root bundle. Functions only, so that a CMake script (-P) can
# load this file too. Every problem is collected before the configure stops, so that an
# operator mends a deployment file in one go rather than one line per configure.

# quenza_host_problem(<out> <what> <value>): sets <out> to why <value> is not a bare DNS
# host name, or to "" when it is one. The launcher puts the scheme in front of a host
# itself and uses the OTA host as part of a directory name, so a scheme, port, path or
# blank in it would give a wrong URL and an odd directory; a trailing dot would even be
# dropped from the directory name by Windows.
function(quenza_host_problem out what value)
  # No ";" in these texts: a CMake list would cut the line there.
  set(hint "expected a bare host name such as ota.example.com")
  string(LENGTH "${value}" length)
  set(label "[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?")
  if(value STREQUAL "")
    set(why "${what} is empty, ${hint}.")
  elseif(value MATCHES "[ \t\r\n]")
    set(why "${what} \"${value}\" contains a blank, ${hint}.")
  elseif(value MATCHES "://")
    set(why "${what} \"${value}\" names a scheme, ${hint} (the launcher adds \"https://\" itself).")
  elseif(value MATCHES ":")
    set(why "${what} \"${value}\" names a port, ${hint} (the launcher always uses the HTTPS port).")
  elseif(value MATCHES "/")
    set(why "${what} \"${value}\" names a path, ${hint} (the launcher adds \"/ota/verify\" itself).")
  elseif(length GREATER 253 OR NOT value MATCHES "^${label}(\\.${label})*$")
    set(why "${what} \"${value}\" is not a host name, ${hint} (letters, digits and hyphens in dot-separated labels).")
  else()
    set(why "")
  endif()
  set(${out} "${why}" PARENT_SCOPE)
endfunction()

# quenza_deployment_host_problems(<out> <ota prod> <ota demo> <ota dev> <app prod>
# <app demo> <app dev>) (six quoted values): sets <out> to the list of every problem of the six hosts: each
# host's own, then any OTA host that begins with another channel's. The clean-up of a run
# removes the edition's directories in every environment directory whose name begins with
# "https__" (or "http__") and the run's OTA host: were one channel's host a prefix of
# another's (or the same), a run of the first would delete the other's installs. Host
# names are compared without regard to letter case, as DNS and the Windows file system do.
function(quenza_deployment_host_problems out)
  set(channels PROD DEMO DEV)
  set(problems)
  set(ota_hosts)
  foreach(i RANGE 2)
    math(EXPR o "${i} + 1")
    math(EXPR a "${i} + 4")
    list(GET channels ${i} channel)
    quenza_host_problem(why "OTA_HOST_${channel}" "${ARGV${o}}")
    if(why)
      list(APPEND problems "${why}")
    endif()
    quenza_host_problem(why "APP_HOST_${channel}" "${ARGV${a}}")
    if(why)
      list(APPEND problems "${why}")
    endif()
    list(APPEND ota_hosts "${ARGV${o}}")
  endforeach()
  foreach(i RANGE 2)
    foreach(j RANGE 2)
      list(GET ota_hosts ${i} a)
      list(GET ota_hosts ${j} b)
      if(i EQUAL j OR a STREQUAL "" OR b STREQUAL "")
        continue()
      endif()
      list(GET channels ${i} a_channel)
      list(GET channels ${j} b_channel)
      string(TOLOWER "${a}" a_lower)
      string(TOLOWER "${b}" b_lower)
      string(FIND "${b_lower}" "${a_lower}" at)
      # The same host twice would be reported from both sides: once is enough.
      if(at EQUAL 0 AND NOT (a_lower STREQUAL b_lower AND j LESS i))
        string(CONCAT why "the OTA host of ${a_channel} (\"${a}\") is the beginning of the OTA host "
          "of ${b_channel} (\"${b}\"). A ${a_channel} launcher removes its edition from every directory named "
          "\"https__${a}...\", so it would delete the ${b_channel} installs. Give each channel an OTA host that "
          "neither equals nor begins with another channel's.")
        list(APPEND problems "${why}")
      endif()
    endforeach()
  endforeach()
  set(${out} "${problems}" PARENT_SCOPE)
endfunction()

# quenza_stop_on_problems(<title> <problems...>): stops the configure with every problem
# on a line of its own, unless there is none.
function(quenza_stop_on_problems title)
  if(ARGC GREATER 1)
    list(JOIN ARGN "\n  " text)
    message(FATAL_ERROR "${title}\n  ${text}")
  endif()
endfunction()

# quenza_check_deployment_hosts(<ota prod> <ota demo> <ota dev> <app prod> <app demo>
# <app dev>): stops the configure with every problem of the six hosts, if there is one.
function(quenza_check_deployment_hosts)
  if(NOT ARGC EQUAL 6)
    message(FATAL_ERROR "Deployment: expected six host names (OTA and application hosts of PROD, DEMO, DEV), "
      "got ${ARGC}.")
  endif()
  # Quoted one by one: an empty host is a value too, and an unquoted list would drop it.
  quenza_deployment_host_problems(problems "${ARGV0}" "${ARGV1}" "${ARGV2}" "${ARGV3}" "${ARGV4}" "${ARGV5}")
  quenza_stop_on_problems("Deployment:" ${problems})
endfunction()

# quenza_read_deployment_file(<file> <prefix>): reads a deployment file (KEY = value
# lines; "#" at the start of a line or after a blank begins a comment, so a note may
# follow a value; see deploy/example.deployment) and sets <prefix>_OTA_HOST_PROD ...
# <prefix>_APP_HOST_DEV and <prefix>_CA_BUNDLE (an absolute path; a relative one is read
# from the file's directory) in the caller's scope. Stops, listing every problem found,
# on a missing file, a line that is not KEY = value, an unknown, repeated or missing
# key, a host that is not a bare host name or overlaps another channel's, or a root
# bundle that is not there.
function(quenza_read_deployment_file file prefix)
  set(keys OTA_HOST_PROD OTA_HOST_DEMO OTA_HOST_DEV APP_HOST_PROD APP_HOST_DEMO APP_HOST_DEV CA_BUNDLE)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "Deployment file \"${file}\" not found (see deploy/example.deployment).")
  endif()
  file(STRINGS "${file}" lines)
  set(seen)
  set(problems)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    # A host name cannot hold "#", and a path rarely holds one after a blank.
    string(REGEX REPLACE "(^|[ \t])#.*$" "" line "${line}")
    string(STRIP "${line}" line)
    if(line STREQUAL "")
      continue()
    endif()
    if(NOT line MATCHES "^([A-Z_]+)[ \t]*=[ \t]*(.*)$")
      list(APPEND problems "line ${number}: expected KEY = value, got \"${line}\".")
      continue()
    endif()
    set(key "${CMAKE_MATCH_1}")
    set(value "${CMAKE_MATCH_2}")
    if(NOT key IN_LIST keys)
      list(JOIN keys ", " known)
      list(APPEND problems "line ${number}: unknown key ${key} (known: ${known}).")
    elseif(key IN_LIST seen)
      list(APPEND problems "line ${number}: ${key} is given twice.")
    else()
      list(APPEND seen "${key}")
      set(value_${key} "${value}")
    endif()
  endforeach()
  set(all_hosts TRUE)
  foreach(key IN LISTS keys)
    if(NOT key IN_LIST seen)
      list(APPEND problems "${key} is missing.")
      set(all_hosts FALSE)
    endif()
  endforeach()
  if(all_hosts)
    quenza_deployment_host_problems(host_problems "${value_OTA_HOST_PROD}" "${value_OTA_HOST_DEMO}"
      "${value_OTA_HOST_DEV}" "${value_APP_HOST_PROD}" "${value_APP_HOST_DEMO}" "${value_APP_HOST_DEV}")
    list(APPEND problems ${host_problems})
  endif()
  get_filename_component(dir "${file}" DIRECTORY)
  if("CA_BUNDLE" IN_LIST seen)
    get_filename_component(bundle "${value_CA_BUNDLE}" ABSOLUTE BASE_DIR "${dir}")
    if(NOT EXISTS "${bundle}" OR IS_DIRECTORY "${bundle}")
      string(CONCAT why "CA_BUNDLE \"${bundle}\" not found (a relative path is read from the deployment "
        "file's own directory: keep the bundle beside the file).")
      list(APPEND problems "${why}")
    endif()
  endif()
  quenza_stop_on_problems("Deployment file ${file}:" ${problems})
  foreach(key IN LISTS keys)
    set(${prefix}_${key} "${value_${key}}" PARENT_SCOPE)
  endforeach()
  set(${prefix}_CA_BUNDLE "${bundle}" PARENT_SCOPE)
endfunction()
