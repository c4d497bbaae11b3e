# The same commit builds the same bytes in any folder, on any machine with the
# same Debian packages:
# - no path of the source or build folder in any object: __FILE__ and debug
#   information name files relative to them (the build folder, which may lie
#   inside the source folder, is matched first);
# - a fixed PE time stamp. GNU ld stamps the link time unless told otherwise,
#   or SOURCE_DATE_EPOCH when that is in its environment; here it gets the
#   value set when CMake configures, or stamps zero.
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")

if(WIN32)
  set(source_date_epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(source_date_epoch STREQUAL "")
    add_link_options(-Wl,--no-insert-timestamp)
  elseif(source_date_epoch MATCHES "^[0-9]+$")
    foreach(language C CXX)
      set(CMAKE_${language}_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${source_date_epoch})
    endforeach()
  else()
    message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds, not '${source_date_epoch}'")
  endif()
endif()
