# Instrumented builds for the reliability stages; each goes into its own build directory.

# AddressSanitizer and UndefinedBehaviorSanitizer over the daemon, the fake board and the tests. Any report
# aborts the process, so a finding can never pass as a warning.
option(VPM_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(VPM_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # The asan test preset logs every report here (log_path), which must exist before the first test.
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/sanitizer-reports)
endif()

# libFuzzer targets (clang only): the library gets coverage instrumentation, the targets link libFuzzer.
option(VPM_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
if(VPM_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VPM_FUZZ needs clang (e.g. CXX=clang++-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
