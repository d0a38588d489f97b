# Two packages of Architecture all. python3-vantrel-power: the importable package vantrel_power
# (scripts/vantrel_power: the log and tree readers, marks, the daemon's control-socket client and
# measure()) in Debian's dist-packages. vantrel-power-tools: one copy of each tool in
# share/vantrel-power-tools, relative links in bin, a man page per command, its copyright and changelog;
# the tools import vantrel_power as any module (a clone's scripts/ find it beside them, an installed
# copy in dist-packages).
set(VPM_TOOLS_DIR ${CMAKE_INSTALL_DATAROOTDIR}/vantrel-power-tools)

# Installed command = file in scripts/.
set(VPM_TOOL_COMMANDS
    vantrel-power-report=power-report
    vantrel-plot-raw=plot-raw
    vantrel-top=vantrel-top
    vantrel-energy-stat=energy-stat
)
set(VPM_PYTHON_MODULES __init__.py client.py marks.py powertree.py profile.py rawlogs.py trace.py)
list(TRANSFORM VPM_PYTHON_MODULES PREPEND scripts/vantrel_power/)

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
# Debian's own location, whatever the prefix's libdir: /usr/lib/python3/dist-packages.
install(FILES ${VPM_PYTHON_MODULES} DESTINATION lib/python3/dist-packages/vantrel_power COMPONENT python)

add_custom_command(
  OUTPUT ${vpm_tools_build}/changelog.gz
  COMMAND sh -c "gzip -9n -c '${PROJECT_SOURCE_DIR}/packaging/tools-changelog' > changelog.gz"
  WORKING_DIRECTORY ${vpm_tools_build}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/tools-changelog
  VERBATIM)
add_custom_target(vpm_tools_changelog ALL DEPENDS ${vpm_tools_build}/changelog.gz)
install(FILES packaging/copyright ${vpm_tools_build}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantrel-power-tools COMPONENT tools)
add_custom_command(
  OUTPUT ${vpm_tools_build}/python/changelog.gz
  COMMAND sh -c "mkdir -p python && gzip -9n -c '${PROJECT_SOURCE_DIR}/packaging/python-changelog' > python/changelog.gz"
  WORKING_DIRECTORY ${vpm_tools_build}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/python-changelog
  VERBATIM)
add_custom_target(vpm_python_changelog ALL DEPENDS ${vpm_tools_build}/python/changelog.gz)
install(FILES packaging/copyright ${vpm_tools_build}/python/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/python3-vantrel-power COMPONENT python)

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vantrel-power)
set(CPACK_DEBIAN_PYTHON_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS python3)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python 3 access to the Vantrel board's power monitor
The vantrel_power package reads what vantrel_power_monitor publishes: its
value tree, its exact energy counters and its raw logs (also when copied off a
board). With the daemon's control socket it measures the exact energy of a
region of a program, between two latches taken on request:
.
  with vantrel_power.measure() as m:
      work()
  print(m.energy_j[\"vph\"], m.bound_j[\"vph\"])
.
Without the socket it prorates the daemon's cycles, with a bound.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vantrel-power-tools)
set(CPACK_DEBIAN_TOOLS_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_TOOLS_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "python3, python3-vantrel-power (= ${PROJECT_VERSION})")
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
