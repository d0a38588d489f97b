# Installation (cmake --install) and Debian packages (cpack -G DEB), one per component: "daemon", the
# daemon in sbin, its systemd unit, the log rotation (configuration, timer and its service),
# /etc/default, the man page, and the package's copyright and changelog; "tools" and "python", the tools
# package and the Python package it depends on (cmake/power_tools.cmake).
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME daemon)

set(VPM_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "systemd system unit directory, relative to the prefix")

install(TARGETS vantrel_power_monitor RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
# The compiler's .comment section (and a bare .note) serve no purpose in an installed Release binary;
# Debian's dh_strip removes them too.
if(CMAKE_OBJCOPY)
  install(CODE "
    if(CMAKE_INSTALL_CONFIG_NAME MATCHES \"^(Release|MinSizeRel)$\")
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/vantrel_power_monitor\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()
  ")
endif()

# The units name the binary by its installed path, which is known only at install time
# (cmake --install --prefix, or cpack's staging prefix), and the configuration files in /etc with the
# /usr prefix (GNUInstallDirs), <prefix>/etc otherwise.
set(vpm_unit ${PROJECT_BINARY_DIR}/packaging/vantrel-power-monitor.service)
set(vpm_rotate_unit ${PROJECT_BINARY_DIR}/packaging/vantrel-power-monitor-logrotate.service)
install(CODE "
  set(VPM_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  if(NOT IS_ABSOLUTE \"\${VPM_SBINDIR}\")
    set(VPM_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/\${VPM_SBINDIR}\")
  endif()
  set(VPM_SYSCONFDIR \"${CMAKE_INSTALL_FULL_SYSCONFDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/vantrel-power-monitor.service.in\" \"${vpm_unit}\" @ONLY)
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/vantrel-power-monitor-logrotate.service.in\"
                 \"${vpm_rotate_unit}\" @ONLY)
")
install(FILES ${vpm_unit} ${vpm_rotate_unit} packaging/vantrel-power-monitor-logrotate.timer
        DESTINATION ${VPM_SYSTEMD_UNIT_DIR})

# Not in logrotate.d: only the service's own units rotate the raw logs (see the file).
install(FILES packaging/logrotate.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vantrel-power-monitor)
install(FILES packaging/default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME vantrel-power-monitor)

# Debian's documentation files: the machine-readable copyright, the changelog compressed as dpkg wants.
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND sh -c "gzip -9n -c '${PROJECT_SOURCE_DIR}/packaging/changelog' > changelog.gz"
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/packaging
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(vpm_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantrel-power-monitor)

set(VPM_VERSION ${PROJECT_VERSION})
configure_file(packaging/vantrel_power_monitor.8 ${PROJECT_BINARY_DIR}/packaging/vantrel_power_monitor.8 @ONLY)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/packaging/vantrel_power_monitor.8.gz
  COMMAND sh -c "gzip -9n -c vantrel_power_monitor.8 > vantrel_power_monitor.8.gz"
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/packaging
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/vantrel_power_monitor.8
  VERBATIM)
add_custom_target(vpm_man_page ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/vantrel_power_monitor.8.gz)
install(FILES ${PROJECT_BINARY_DIR}/packaging/vantrel_power_monitor.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# Debian packages. The staging install uses DESTDIR so that /etc stays /etc inside the package.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon tools python)
set(CPACK_PACKAGE_NAME vantrel-power-monitor)
set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME vantrel-power-monitor)
set(CPACK_DEBIAN_DAEMON_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each component's description starts with its synopsis (no CPACK_PACKAGE_DESCRIPTION_SUMMARY, which
# CPack would put above both); the extended description is wrapped below 80 columns (dpkg shows it as
# it is).
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "power monitor daemon for the Vantrel board
vantrel_power_monitor latches the board's MAX34417 power accumulators at a
fixed period (1 s by default) and reads its platform sensors: clocks, GPU
load, battery charge, fan, battery-current limiter and thermal zones. It
publishes every value, with derived power totals, as a one-number text file
under /run/power-monitor, and with --raw appends CSV logs.
.
A sandboxed systemd unit runs it as a service. The raw logs are rotated into
/var/log/vantrel-power-monitor when the service stops and before it starts,
and every 15 minutes by the package's own timer, on battery power too.")
set(CPACK_PACKAGE_CONTACT "vantrel_power_monitor developers <power-monitor@vantrel.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The package's architecture is the target's, not the build machine's.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()

# Library Depends: none for a static binary; from the binary's libraries (dpkg-shlibdeps) for a native dynamic
# one; for a cross-built dynamic one dpkg-shlibdeps cannot resolve the target's libraries, so they are
# named here with the versions its symbols need, as dpkg-shlibdeps derives them for the amd64 build of the
# same code: GLIBC_2.35 (_dl_find_object, used by the linked-in libgcc unwinder), or with a shared
# libstdc++ GLIBC_2.34, CXXABI_1.3.9 and GCC_3.0. The package check compares them with the binary's
# needed libraries and symbol versions.
# logrotate: the units run it at every stop and start and from the timer. passwd: the postinst's groupadd
# makes the control socket's group.
if(VPM_STATIC)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "logrotate, passwd")
elseif(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  if(VPM_STATIC_LIBSTDCXX)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.35), logrotate, passwd")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 5), logrotate, passwd")
  endif()
else()
  # dpkg-shlibdeps' result is joined with these.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "logrotate, passwd")
endif()

configure_file(packaging/debian/conffiles.in ${PROJECT_BINARY_DIR}/packaging/debian/conffiles @ONLY)
foreach(script postinst prerm postrm)
  configure_file(packaging/debian/${script} ${PROJECT_BINARY_DIR}/packaging/debian/${script} COPYONLY)
endforeach()
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/debian/conffiles ${PROJECT_BINARY_DIR}/packaging/debian/postinst
    ${PROJECT_BINARY_DIR}/packaging/debian/prerm ${PROJECT_BINARY_DIR}/packaging/debian/postrm)

include(cmake/power_tools.cmake)
include(CPack)
