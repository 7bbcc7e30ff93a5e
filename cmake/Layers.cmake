# The library's layers, lowest first. Each folder of src/ is one object library that sees only its
# own headers and those of the layers beneath it: its include path is a folder of links to exactly
# those folders, so an include that climbs names a file the compiler cannot find.
set(VEXDAQ_LAYERS platform protocol session sim backend device stream core api)
set(VEXDAQ_LAYER_ROOT ${PROJECT_BINARY_DIR}/layers)

# vexdaq_layer(<name> SOURCES ... [EXTRA_LINKS <folder>=<path> ...]): the object library
# vexdaq_layer_<name> over the given sources (relative to src/<name>/). EXTRA_LINKS adds folders
# from outside src/ to what the layer sees.
function(vexdaq_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;EXTRA_LINKS")
  list(FIND VEXDAQ_LAYERS ${name} position)
  if(position LESS 0)
    message(FATAL_ERROR "vexdaq_layer: ${name} is not one of ${VEXDAQ_LAYERS}")
  endif()
  set(view ${VEXDAQ_LAYER_ROOT}/${name})
  file(MAKE_DIRECTORY ${view})
  foreach(index RANGE ${position})
    list(GET VEXDAQ_LAYERS ${index} seen)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${seen} ${view}/${seen} SYMBOLIC)
  endforeach()
  foreach(link IN LISTS arg_EXTRA_LINKS)
    string(REPLACE "=" ";" pair ${link})
    list(GET pair 0 folder)
    list(GET pair 1 target_path)
    file(CREATE_LINK ${target_path} ${view}/${folder} SYMBOLIC)
  endforeach()

  set(target vexdaq_layer_${name})
  list(TRANSFORM arg_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/src/${name}/)
  add_library(${target} OBJECT ${arg_SOURCES})
  target_include_directories(${target} PRIVATE ${view}
    ${PROJECT_SOURCE_DIR}/src/platform/${VEXDAQ_PLATFORM} ${PROJECT_SOURCE_DIR}/include)
  target_compile_definitions(${target} PRIVATE VEXDAQ_HAVE_LIBUSB=${VEXDAQ_HAVE_LIBUSB})
  target_link_libraries(${target} PRIVATE Threads::Threads)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
  vexdaq_warnings(${target})
endfunction()
