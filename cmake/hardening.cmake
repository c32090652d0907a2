# Hardened as a distribution builds its packages; the pinned libraries get the same
# compiler flags from scripts/deps.lock. The stack protector guards every function with
# an array or an address-taken local; fortified C library calls check the sizes the
# compiler knows (only with optimisation, which every preset builds with). On Linux the
# relocations become read-only once resolved, all at start (full RELRO, immediate
# binding); on Windows the linker's ASLR with high entropy and DEP stay as they are, and
# the stack protector's support library is linked in statically like the rest, so the
# launcher still needs no DLL beyond the system's. Off for the sanitizer presets, whose
# own checks the fortified calls would bypass.
option(QUENZA_HARDENING "Stack protector, fortified C library calls, full RELRO (Linux)" ON)
if(NOT QUENZA_HARDENING)
  return()
endif()
add_compile_options(-fstack-protector-strong)
add_compile_definitions(_FORTIFY_SOURCE=2)
# At link time too: it is what brings in the support library on Windows.
add_link_options(-fstack-protector-strong)
if(NOT WIN32)
  add_link_options(LINKER:-z,relro,-z,now)
endif()
