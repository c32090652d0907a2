# Release builds: the launcher a deployment distributes (see scripts/release and the
# release-* presets). Optimised for size and stripped; built so that the same commit
# gives the same bytes wherever and whenever it is built: the time stamp comes from the
# commit, and no path of the machine that built it is left in the executable.
option(QUENZA_RELEASE "Build the distributable launcher of a deployment (needs QUENZA_DEPLOYMENT_FILE)" OFF)
if(NOT QUENZA_RELEASE)
  return()
endif()

# The commit's time, unless the caller fixed one.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(QUENZA_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C "${CMAKE_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE QUENZA_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _git_result
    ERROR_QUIET)
  if(NOT _git_result EQUAL 0)
    set(QUENZA_SOURCE_DATE_EPOCH "")
  endif()
endif()
if(NOT QUENZA_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "A release build takes its time stamp from the commit: build from a git checkout, "
    "or set SOURCE_DATE_EPOCH to a time in seconds.")
endif()

# Paths recorded by the compilers (file names in assertions and in any debug data) are
# written relative to the source tree, so a clone elsewhere gives the same bytes. The
# build tree's mapping comes last: the last matching one wins, and the build tree
# usually lies inside the source tree.
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=." "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
# Unused functions are dropped at link time (Linux; the unwind tables of a Windows build
# keep every function).
add_compile_options(-ffunction-sections)

# quenza_finish_release(<exe>): strips the launcher while linking and, on Windows, stamps
# the commit's time into the PE header and sets the header's checksum, which the linker
# leaves at 0 (signing tools and some system checks read it).
function(quenza_finish_release exe)
  target_link_options(${exe} PRIVATE -s -Wl,--gc-sections)
  if(WIN32)
    target_link_options(${exe} PRIVATE -Wl,--no-insert-timestamp)
    find_program(QUENZA_PYTHON python3 REQUIRED)
    add_custom_command(TARGET ${exe} POST_BUILD
      COMMAND "${QUENZA_PYTHON}" "${CMAKE_SOURCE_DIR}/scripts/pe-stamp" --time "${QUENZA_SOURCE_DATE_EPOCH}"
        "$<TARGET_FILE:${exe}>"
      VERBATIM)
  endif()
endfunction()
