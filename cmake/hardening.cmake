# The hardening a Debian package's programs are built with (dpkg-buildflags): fortified C
# library calls (which need optimisation), a strong stack protector, read-only relocations bound
# at start, and position-independent executables. Applied to the optimised builds on Linux;
# the debug and sanitizer builds are left as they are.
option(VELDORAN_HARDENING "Build optimised programs with Debian's hardening flags" ON)
if(VELDORAN_HARDENING AND CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT VELDORAN_SANITIZE
   AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong)
  add_link_options(LINKER:-z,relro,-z,now)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
