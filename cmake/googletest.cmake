# GoogleTest for the test suite. A native build uses Debian's installed libraries; a cross build has no
# target libraries to find, so it compiles the sources Debian ships (package googletest) for the target.
if(CMAKE_CROSSCOMPILING)
  set(vpm_gtest_from_source_default ON)
else()
  set(vpm_gtest_from_source_default OFF)
endif()
option(VPM_GTEST_FROM_SOURCE "Build GoogleTest/GMock from source instead of find_package(GTest)"
       ${vpm_gtest_from_source_default})
set(VPM_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree (Debian package googletest)")

if(VPM_GTEST_FROM_SOURCE)
  if(NOT EXISTS ${VPM_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "VPM_GTEST_FROM_SOURCE: no GoogleTest sources in ${VPM_GTEST_SOURCE_DIR} "
                        "(install the googletest package)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${VPM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # Third-party code is not held to the project's warnings-as-errors.
  foreach(gtest_target gtest gtest_main gmock gmock_main)
    set_property(TARGET ${gtest_target} PROPERTY COMPILE_OPTIONS "")
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()
