# Clang's thread-safety analysis: GUARDED_BY/REQUIRES (src/platform/thread_annotations.h) become
# errors when broken. vexdaq_warnings() applies it to every target it covers; scripts/
# thread-safety.sh builds only the library's with it.
option(VEXDAQ_THREAD_SAFETY "Build with Clang's -Wthread-safety as an error" OFF)
if(VEXDAQ_THREAD_SAFETY AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "VEXDAQ_THREAD_SAFETY needs Clang (CXX=clang++), not ${CMAKE_CXX_COMPILER_ID}")
endif()

function(vexdaq_thread_safety target)
  if(VEXDAQ_THREAD_SAFETY)
    target_compile_options(${target} PRIVATE -Wthread-safety -Werror)
  endif()
endfunction()
