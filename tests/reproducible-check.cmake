# Builds both stubs from two copies of the sources, in folders whose names and
# lengths differ, with the presets' settings, and fails unless the two builds
# are the same byte for byte and no stub holds the path of either folder.
# cmake -DROOT=<source folder> -DWORK=<scratch folder> -P reproducible-check.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
set(copies "${WORK}/a/kesto" "${WORK}/second-copy/other-name")
file(GLOB entries LIST_DIRECTORIES true "${ROOT}/*" "${ROOT}/.*")

foreach(copy IN LISTS copies)
  foreach(entry IN LISTS entries)
    get_filename_component(name "${entry}" NAME)
    if(NOT name MATCHES "^(build|dist|\\.git)$")
      file(COPY "${entry}" DESTINATION "${copy}")
    endif()
  endforeach()
  foreach(preset x86 x64)
    execute_process(COMMAND ${CMAKE_COMMAND} --preset ${preset} -DKESTO_BUILD_TESTS=OFF
      WORKING_DIRECTORY "${copy}" OUTPUT_VARIABLE log ERROR_VARIABLE log RESULT_VARIABLE failed)
    if(NOT failed)
      execute_process(COMMAND ${CMAKE_COMMAND} --build --preset ${preset} --target kesto --parallel 2
        WORKING_DIRECTORY "${copy}" OUTPUT_VARIABLE log ERROR_VARIABLE log RESULT_VARIABLE failed)
    endif()
    if(failed)
      message(FATAL_ERROR "${copy}: the ${preset} stub did not build:\n${log}")
    endif()
  endforeach()
endforeach()

set(problems "")
list(GET copies 0 first)
list(GET copies 1 second)
foreach(arch x86 x64)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${first}/dist/${arch}/kesto.exe"
    "${second}/dist/${arch}/kesto.exe" RESULT_VARIABLE differ)
  if(differ)
    string(APPEND problems "  the ${arch} stubs differ\n")
  endif()
  foreach(copy IN LISTS copies)
    # A path is printable ASCII here, so it would lie in one printable run.
    file(STRINGS "${copy}/dist/${arch}/kesto.exe" runs)
    string(FIND "${runs}" "${WORK}" at)
    if(NOT at EQUAL -1)
      string(APPEND problems "  ${copy}/dist/${arch}/kesto.exe holds the path of its build\n")
    endif()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "Builds in two folders (kept in ${WORK}):\n${problems}")
endif()
file(REMOVE_RECURSE "${WORK}")
