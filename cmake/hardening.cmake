# Debian's hardening flags for the Linux build that the package is made from:
# checked string and memory functions, stack canaries, and a relocation table
# that is read-only once the loader has bound every symbol at start. The
# sanitizer and fuzz builds have their own run-time checks and stay as they
# are; Windows has its own defences (the DLL is built by MinGW-w64).
if(WIN32 OR VOZI_SANITIZE OR VOZI_FUZZ)
  return()
endif()
# _FORTIFY_SOURCE only works on optimised code (and warns otherwise).
add_compile_options($<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2> -fstack-protector-strong)
add_link_options(-Wl,-z,relro,-z,now)
