# VEXDAQ_FUZZ=ON: the libFuzzer targets under fuzz/, with the whole library instrumented for
# coverage and checked by AddressSanitizer and UndefinedBehaviorSanitizer. Clang only.
option(VEXDAQ_FUZZ "Build the libFuzzer targets under fuzz/ (clang only)" OFF)
if(VEXDAQ_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VEXDAQ_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  if(NOT VEXDAQ_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VEXDAQ_FUZZ brings its own sanitizers; leave VEXDAQ_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
