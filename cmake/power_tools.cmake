# The tools package vantrel-power-tools (Architecture: all): one copy of each tool in
# share/vantrel-power-tools with its shared modules in lib/ beside it, relative links in bin, a man page
# per command, its copyright and changelog. Each tool finds its modules through its own resolved path,
# so the clone's scripts/ and the installed copy run the same code.
set(VPM_TOOLS_DIR ${CMAKE_INSTALL_DATAROOTDIR}/vantrel-power-tools)

# Installed command = file in scripts/.
set(VPM_TOOL_COMMANDS
    vantrel-power-report=power-report
    vantrel-plot-raw=plot-raw
    vantrel-top=vantrel-top
    vantrel-energy-stat=energy-stat
)
set(VPM_TOOL_MODULES scripts/lib/rawlogs.py scripts/lib/powertree.py scripts/lib/marks.py)

file(RELATIVE_PATH vpm_tools_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATAROOTDIR}/vantrel-power-tools)
set(vpm_tools_build ${PROJECT_BINARY_DIR}/packaging/tools)
file(MAKE_DIRECTORY ${vpm_tools_build}/bin)
set(vpm_tool_pages)
foreach(pair IN LISTS VPM_TOOL_COMMANDS)
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 command)
  list(GET pair 1 script)
  install(PROGRAMS scripts/${script} DESTINATION ${VPM_TOOLS_DIR} COMPONENT tools)
  file(CREATE_LINK ${vpm_tools_from_bin}/${script} ${vpm_tools_build}/bin/${command} SYMBOLIC)
  install(FILES ${vpm_tools_build}/bin/${command} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

  configure_file(packaging/man/${command}.1 ${vpm_tools_build}/${command}.1 @ONLY)
  add_custom_command(
    OUTPUT ${vpm_tools_build}/${command}.1.gz
    COMMAND sh -c "gzip -9n -c '${command}.1' > '${command}.1.gz'"
    WORKING_DIRECTORY ${vpm_tools_build}
    DEPENDS ${vpm_tools_build}/${command}.1
    VERBATIM)
  list(APPEND vpm_tool_pages ${vpm_tools_build}/${command}.1.gz)
endforeach()
add_custom_target(vpm_tool_man_pages ALL DEPENDS ${vpm_tool_pages})
install(FILES ${vpm_tool_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${VPM_TOOL_MODULES} DESTINATION ${VPM_TOOLS_DIR}/lib COMPONENT tools)

add_custom_command(
  OUTPUT ${vpm_tools_build}/changelog.gz
  COMMAND sh -c "gzip -9n -c '${PROJECT_SOURCE_DIR}/packaging/tools-changelog' > changelog.gz"
  WORKING_DIRECTORY ${vpm_tools_build}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/tools-changelog
  VERBATIM)
add_custom_target(vpm_tools_changelog ALL DEPENDS ${vpm_tools_build}/changelog.gz)
install(FILES packaging/copyright ${vpm_tools_build}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantrel-power-tools COMPONENT tools)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vantrel-power-tools)
set(CPACK_DEBIAN_TOOLS_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_TOOLS_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS python3)
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS gnuplot-nox)
# The tools also read logs copied off a board, on a machine without the daemon.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS vantrel-power-monitor)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "tools for the Vantrel board's power monitor: live view, energy report, plots
vantrel-top shows the rails of a running vantrel_power_monitor live in the
terminal (power per rail, totals, voltages, temperatures, clocks, battery and
the age of the data), or as one line per period for scripts and serial
consoles. vantrel-power-report prints each rail's energy and power figures
from the daemon's raw logs, and vantrel-plot-raw plots them.
.
The tools read the daemon's output tree and logs on the board, or logs copied
off a board onto any machine.")
