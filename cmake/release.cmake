# Release builds of the daemon: optimised (CMAKE_BUILD_TYPE Release or MinSizeRel), stripped, and
# optionally linked fully statically so that one file runs on any root file system of the board.
option(VPM_STATIC "Link the daemon fully statically (libc and libstdc++ included)" OFF)

if(VPM_STATIC)
  target_link_options(vantrel_power_monitor PRIVATE -static)
endif()

# Unused functions and data of the daemon's own code are dropped at link time.
target_compile_options(vpm_core PRIVATE $<$<CONFIG:Release,MinSizeRel>:-ffunction-sections -fdata-sections>)
target_compile_options(vantrel_power_monitor PRIVATE
  $<$<CONFIG:Release,MinSizeRel>:-ffunction-sections -fdata-sections>)
target_link_options(vantrel_power_monitor PRIVATE $<$<CONFIG:Release,MinSizeRel>:-Wl,--gc-sections -s>)
