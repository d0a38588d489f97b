# Installation (cmake --install) and Debian packages (cpack -G DEB): the daemon in sbin, its systemd
# unit, the logrotate snippet for the raw logs and the man page.
include(GNUInstallDirs)

set(VPM_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "systemd system unit directory, relative to the prefix")

install(TARGETS vantrel_power_monitor RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# The unit names the binary by its installed path, which is known only at install time
# (cmake --install --prefix, or cpack's staging prefix).
set(vpm_unit ${PROJECT_BINARY_DIR}/packaging/vantrel-power-monitor.service)
install(CODE "
  set(VPM_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  if(NOT IS_ABSOLUTE \"\${VPM_SBINDIR}\")
    set(VPM_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/\${VPM_SBINDIR}\")
  endif()
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/vantrel-power-monitor.service.in\" \"${vpm_unit}\" @ONLY)
")
install(FILES ${vpm_unit} DESTINATION ${VPM_SYSTEMD_UNIT_DIR})

# /etc with the /usr prefix (GNUInstallDirs), <prefix>/etc otherwise.
install(FILES packaging/vantrel-power-monitor.logrotate
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME vantrel-power-monitor)

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

# Debian package. The staging install uses DESTDIR so that /etc stays /etc inside the package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel-power-monitor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "power monitor daemon for the Vantrel board")
set(CPACK_PACKAGE_DESCRIPTION
    "vantrel_power_monitor samples the board's MAX34417 power accumulators and its platform sensors \
(clocks, fan, battery, thermal zones) at a fixed period and publishes every value as a small text \
file under /run/power-monitor, optionally with CSV logs. A hardened systemd unit runs it.")
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

# Depends: none for a static binary; from the binary's libraries (dpkg-shlibdeps) for a native dynamic
# one; for a cross-built dynamic one dpkg-shlibdeps cannot resolve the target's libraries, so they are
# named here with the versions its symbols need, as dpkg-shlibdeps derives them for the amd64 build of the
# same code: GLIBC_2.35 (_dl_find_object, used by the linked-in libgcc unwinder), or with a shared
# libstdc++ GLIBC_2.34, CXXABI_1.3.9 and GCC_3.0. The package check compares them with the binary's
# needed libraries and symbol versions.
if(VPM_STATIC)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
elseif(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  if(VPM_STATIC_LIBSTDCXX)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.35)")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 5)")
  endif()
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

configure_file(packaging/debian/conffiles.in ${PROJECT_BINARY_DIR}/packaging/debian/conffiles @ONLY)
foreach(script postinst prerm postrm)
  configure_file(packaging/debian/${script} ${PROJECT_BINARY_DIR}/packaging/debian/${script} COPYONLY)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/debian/conffiles ${PROJECT_BINARY_DIR}/packaging/debian/postinst
    ${PROJECT_BINARY_DIR}/packaging/debian/prerm ${PROJECT_BINARY_DIR}/packaging/debian/postrm)

include(CPack)
