# Static libcurl and mbedTLS built by scripts/bootstrap from Debian's pinned source
# packages, found in the cache directory keyed by the hash of scripts/deps.lock.
file(SHA256 "${CMAKE_SOURCE_DIR}/scripts/deps.lock" _deps_hash)
string(SUBSTRING "${_deps_hash}" 0 16 _deps_key)
if(DEFINED ENV{QUENZA_DEPS_CACHE})
  set(_deps_cache "$ENV{QUENZA_DEPS_CACHE}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(_deps_cache "$ENV{XDG_CACHE_HOME}/quenza-deps")
else()
  set(_deps_cache "$ENV{HOME}/.cache/quenza-deps")
endif()
if(WIN32)
  set(_deps_target windows-x64)
else()
  set(_deps_target linux-x64)
endif()
# A build directory follows scripts/deps.lock: when the pins or patches change, the next
# build reconfigures and links the dependencies built for them. A prefix set by hand
# (-DQUENZA_DEPS_PREFIX=...) is kept.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/scripts/deps.lock")
set(_deps_default "${_deps_cache}/${_deps_key}/${_deps_target}")
if(NOT DEFINED QUENZA_DEPS_PREFIX OR QUENZA_DEPS_PREFIX MATCHES "^${_deps_cache}/[0-9a-f]+/${_deps_target}$")
  set(QUENZA_DEPS_PREFIX "${_deps_default}" CACHE PATH
    "Prefix holding the static libcurl and mbedTLS of this target" FORCE)
endif()
if(NOT EXISTS "${QUENZA_DEPS_PREFIX}/.complete")
  message(FATAL_ERROR "Dependencies missing in ${QUENZA_DEPS_PREFIX}: run scripts/bootstrap first.")
endif()

foreach(lib curl mbedtls mbedx509 mbedcrypto)
  add_library(Quenza::${lib} STATIC IMPORTED)
  set_target_properties(Quenza::${lib} PROPERTIES
    IMPORTED_LOCATION "${QUENZA_DEPS_PREFIX}/lib/lib${lib}.a"
    INTERFACE_INCLUDE_DIRECTORIES "${QUENZA_DEPS_PREFIX}/include")
endforeach()
set_property(TARGET Quenza::mbedx509 PROPERTY INTERFACE_LINK_LIBRARIES Quenza::mbedcrypto)
set_property(TARGET Quenza::mbedtls PROPERTY INTERFACE_LINK_LIBRARIES Quenza::mbedx509)
if(WIN32)
  # No bcrypt: both libraries are patched to do without its import (see scripts/deps.lock).
  set_property(TARGET Quenza::curl PROPERTY INTERFACE_LINK_LIBRARIES
    Quenza::mbedtls ws2_32 crypt32 advapi32 iphlpapi secur32)
  set_property(TARGET Quenza::curl PROPERTY INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB)
else()
  find_package(Threads REQUIRED)
  set_property(TARGET Quenza::curl PROPERTY INTERFACE_LINK_LIBRARIES Quenza::mbedtls Threads::Threads)
  set_property(TARGET Quenza::curl PROPERTY INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB)
endif()

find_path(PICOJSON_INCLUDE_DIR picojson.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(Quenza::picojson INTERFACE IMPORTED)
# Only picojson.h is taken from that folder, so the cross build gets no other host header.
# It includes <iostream> for its stream operators, which need only the stream classes;
# <iostream> itself puts the standard streams' initialiser into every file that includes
# it, and with it the whole static locale machinery (about 700 KB) into the launcher.
file(READ "${PICOJSON_INCLUDE_DIR}/picojson.h" _picojson)
string(REPLACE "#include <iostream>\n" "#include <istream>\n#include <ostream>\n" _picojson_narrow "${_picojson}")
if(_picojson_narrow STREQUAL _picojson)
  message(FATAL_ERROR "${PICOJSON_INCLUDE_DIR}/picojson.h no longer includes <iostream> as expected: "
    "review the include narrowing in cmake/deps.cmake.")
endif()
file(WRITE "${CMAKE_BINARY_DIR}/picojson/picojson.h.new" "${_picojson_narrow}")
# Replaced only when it changed, so a reconfigure does not rebuild what includes it.
configure_file("${CMAKE_BINARY_DIR}/picojson/picojson.h.new" "${CMAKE_BINARY_DIR}/picojson/picojson.h" COPYONLY)
set_property(TARGET Quenza::picojson PROPERTY INTERFACE_INCLUDE_DIRECTORIES "${CMAKE_BINARY_DIR}/picojson")
