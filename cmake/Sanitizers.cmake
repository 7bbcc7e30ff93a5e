# One sanitizer family per build tree: ASan and TSan cannot share a process.
# Sanitizer builds exist to run the tests: -O1 with line tables (what the sanitizers' own guides
# suggest) keeps every report's file and line and compiles in about half the time of -O2 -g.
if(NOT VEXDAQ_SANITIZE STREQUAL "")
  add_compile_options(-O1 -g1)
endif()
if(VEXDAQ_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  # The instrumentation makes GCC's flow analysis report uninitialised reads inside the standard
  # library (std::function in <regex>); the plain build keeps the warning.
  add_compile_options(-Wno-maybe-uninitialized)
elseif(VEXDAQ_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VEXDAQ_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VEXDAQ_SANITIZE must be '', 'address' or 'thread'")
endif()
