# Builds a parent project that embeds the library's sources, once with
# add_subdirectory and once with FetchContent, and runs its program.
# Run with: cmake -DSOURCE_DIR=<library sources> -DWORK_DIR=... -DCXX=... -DGENERATOR=... -P check_embed.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
foreach(mode IN ITEMS add_subdirectory FetchContent)
  set(build ${WORK_DIR}/${mode})
  run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/parent -B ${build} -G ${GENERATOR}
      -DCMAKE_CXX_COMPILER=${CXX} -DRVSYS_EMBED_MODE=${mode} -DRVSYS_SOURCE_DIR=${SOURCE_DIR}
      -DRVSYS_CONSUMER_SOURCE=${SOURCE_DIR}/tests/install/consumer/main.cpp)
  run(${CMAKE_COMMAND} --build ${build})
  run(${build}/consumer)
  message(STATUS "${mode}: ${last_output}")
endforeach()
