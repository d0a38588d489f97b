# Release builds of the daemon: optimised (CMAKE_BUILD_TYPE Release or MinSizeRel), stripped, and
# optionally linked fully statically so that one file runs on any root file system of the board.
option(VPM_STATIC "Link the daemon fully statically (libc and libstdc++ included)" OFF)

if(VPM_STATIC)
  target_link_options(vantrel_power_monitor PRIVATE -static)
  # Static glibc's name service loads shared modules at run time (and crashes on a name that is not in
  # /etc/group when nsswitch.conf lists another source): --control-group names come from /etc/group alone.
  target_compile_definitions(vpm_core PRIVATE VPM_NO_NAME_SERVICE)
endif()

# Unused functions and data of the daemon's own code are dropped at link time.
target_compile_options(vpm_core PRIVATE $<$<CONFIG:Release,MinSizeRel>:-ffunction-sections -fdata-sections>)
target_compile_options(vantrel_power_monitor PRIVATE
  $<$<CONFIG:Release,MinSizeRel>:-ffunction-sections -fdata-sections>)
target_link_options(vantrel_power_monitor PRIVATE $<$<CONFIG:Release,MinSizeRel>:-Wl,--gc-sections -s>)

# Debian's hardening flags (dpkg-buildflags "hardening=+all" less what does not apply): fortified libc
# calls, stack protector, PIE, read-only relocations bound at start-up. The size and memory they cost
# are in docs/target.md (scripts/measure-size builds with and without them).
option(VPM_HARDEN "Build the Release daemon with Debian's hardening flags" ON)
if(VPM_HARDEN)
  set(vpm_release $<CONFIG:Release,MinSizeRel>)
  foreach(target vpm_core vantrel_power_monitor)
    target_compile_options(${target} PRIVATE
      $<${vpm_release}:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong>)
  endforeach()
  # A fully static binary has no dynamic relocations to protect and is not built as PIE here.
  if(NOT VPM_STATIC)
    set_target_properties(vpm_core vantrel_power_monitor PROPERTIES POSITION_INDEPENDENT_CODE ON)
    include(CheckPIESupported)
    check_pie_supported()
    target_link_options(vantrel_power_monitor PRIVATE $<${vpm_release}:-Wl,-z,relro -Wl,-z,now>)
  endif()
endif()

