# Cross build for the board: AArch64 Linux with glibc, using Debian's cross toolchain
# (g++-aarch64-linux-gnu) and, on a build machine, qemu-user to run the target's programs.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VPM_TARGET_TRIPLE aarch64-linux-gnu)
set(VPM_TARGET_SYSROOT /usr/${VPM_TARGET_TRIPLE} CACHE PATH "Libraries of the target (Debian's multiarch cross root)")

set(CMAKE_C_COMPILER ${VPM_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VPM_TARGET_TRIPLE}-g++)
set(CMAKE_STRIP ${VPM_TARGET_TRIPLE}-strip CACHE FILEPATH "Strip for the target")

# Headers and libraries come only from the target's root; programs run at build time from the host's.
set(CMAKE_FIND_ROOT_PATH ${VPM_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reports only the target's libraries (Debian multiarch arm64 packages), never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VPM_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig)

# Target programs (tests, test discovery) run through the user-mode emulator, which finds the target's
# dynamic loader and libraries under the cross root.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(VPM_QEMU_AARCH64 qemu-aarch64)
  if(VPM_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VPM_QEMU_AARCH64} -L ${VPM_TARGET_SYSROOT})
  endif()
endif()
