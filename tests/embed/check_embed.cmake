# Builds a parent project that embeds the library's sources, once with
# add_subdirectory and once with FetchContent, runs its program, and installs
# it: the library's files go to their own places, not to the parent's.
# Run with: cmake -DSOURCE_DIR=<library sources> -DWORK_DIR=... -DCXX=... -DGENERATOR=... -P check_embed.cmake

include(${CMAKE_CURRENT_LIST_DIR}/../support/run.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
foreach(mode IN ITEMS add_subdirectory FetchContent)
  set(build ${WORK_DIR}/${mode})
  run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/parent -B ${build} -G ${GENERATOR}
      -DCMAKE_CXX_COMPILER=${CXX} -DRVSYS_EMBED_MODE=${mode} -DRVSYS_SOURCE_DIR=${SOURCE_DIR}
      -DRVSYS_CONSUMER_SOURCE=${SOURCE_DIR}/tests/install/consumer/main.cpp)
  run(${CMAKE_COMMAND} --build ${build})
  run(${build}/consumer)
  message(STATUS "${mode}: ${last_output}")
  set(prefix ${WORK_DIR}/${mode}-installed)
  run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
  if(NOT EXISTS ${prefix}/share/doc/rvsysutils/LICENSE OR EXISTS ${prefix}/share/doc/rvsysutils_parent)
    file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/share/*)
    message(FATAL_ERROR "${mode}: the library's documents are installed as: ${installed}")
  endif()
endforeach()
