include(${CMAKE_CURRENT_LIST_DIR}/ThreadSafety.cmake)

# Our own targets build with every warning as an error; third-party code is not touched.
function(vexdaq_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
  vexdaq_thread_safety(${target})
endfunction()
