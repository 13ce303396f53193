# Makes one package with CPack from a configured and built tree, unpacks it into
# an empty directory, checks what it holds, then builds and runs the outside
# program against the unpacked copy (check_install.cmake).
# Run with: cmake -DCPACK=... -DGENERATOR=TGZ|DEB|ZIP -DBUILD_DIR=... -DVERSION=...
#           [-DOBJDUMP=...] and check_install.cmake's variables -P check_package.cmake

include(${CMAKE_CURRENT_LIST_DIR}/../support/run.cmake)

function(fail)
  message(FATAL_ERROR "${GENERATOR} package ${package}: ${ARGN}")
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
run(${CPACK} -G ${GENERATOR} --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/made)
set(extension_TGZ tar.gz)
set(extension_DEB deb)
set(extension_ZIP zip)
file(GLOB package ${WORK_DIR}/made/*.${extension_${GENERATOR}})
list(LENGTH package count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one .${extension_${GENERATOR}} package, found: ${package}")
endif()
get_filename_component(package_name ${package} NAME)
message(STATUS "package: ${package_name}")

# Unpacked into an empty directory, as a user would.
set(root ${WORK_DIR}/unpacked)
file(MAKE_DIRECTORY ${root})
if(GENERATOR STREQUAL "DEB")
  run(dpkg-deb -x ${package} ${root})
  set(top usr)
else()
  run(${CMAKE_COMMAND} -E tar xf ${package} WORKING_DIRECTORY ${root})
  # An archive holds one directory named after itself.
  string(REPLACE ".${extension_${GENERATOR}}" "" top ${package_name})
endif()
set(prefix ${root}/${top})

# Exactly the files a user needs: each file matches one of these patterns and
# each expected pattern matches a file (the targets file has one companion per
# build type); optional patterns may match nothing.
string(REGEX MATCH "^[0-9]+" major ${VERSION})
string(REPLACE "." "\\." version_pattern ${VERSION})
set(optional "")
set(expected
  "include/rvsysutils/rvsysutils\\.h" "include/rvsysutils/version\\.h" "include/rvsysutils/[A-Za-z]+\\.h"
  "lib/cmake/rvsysutils/rvsysutilsConfig\\.cmake" "lib/cmake/rvsysutils/rvsysutilsConfigVersion\\.cmake"
  "lib/cmake/rvsysutils/rvsysutilsTargets\\.cmake" "lib/cmake/rvsysutils/rvsysutilsTargets-[a-z]+\\.cmake"
  "lib/pkgconfig/rvsysutils\\.pc"
  "share/doc/rvsysutils/LICENSE" "share/doc/rvsysutils/README\\.md" "share/doc/rvsysutils/CHANGELOG\\.md")
if(GENERATOR STREQUAL "ZIP")
  list(APPEND expected "bin/rvsysutils\\.dll" "lib/librvsysutils\\.dll\\.a")
  # Runtime DLLs (x86), checked against the DLLs' imports below.
  set(optional "bin/lib[^/]+\\.dll")
else()
  list(APPEND expected "lib/librvsysutils\\.so" "lib/librvsysutils\\.so\\.${major}"
       "lib/librvsysutils\\.so\\.${version_pattern}")
endif()
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
set(unmatched_patterns ${expected})
foreach(file IN LISTS files)
  set(matched FALSE)
  foreach(pattern IN LISTS expected optional)
    if(file MATCHES "^${top}/${pattern}$")
      set(matched TRUE)
      list(REMOVE_ITEM unmatched_patterns "${pattern}")
    endif()
  endforeach()
  if(NOT matched)
    fail("holds an unexpected file ${file}")
  endif()
endforeach()
if(unmatched_patterns)
  fail("lacks ${unmatched_patterns}")
endif()

if(GENERATOR STREQUAL "ZIP")
  # Every non-system DLL that a DLL in bin imports is in bin too (for x86: the
  # shared libgcc and winpthread), so a program beside them starts anywhere.
  file(GLOB dlls ${prefix}/bin/*.dll)
  foreach(dll IN LISTS dlls)
    run(${OBJDUMP} -p ${dll})
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${last_output}")
    foreach(import IN LISTS imports)
      string(REPLACE "DLL Name: " "" import "${import}")
      string(TOLOWER "${import}" lower)
      if(lower MATCHES "^lib.*\\.dll$" AND NOT EXISTS ${prefix}/bin/${import})
        fail("${dll} imports ${import}, which the package lacks")
      endif()
    endforeach()
  endforeach()
endif()

if(GENERATOR STREQUAL "DEB")
  # Debian's metadata: name, version, this machine's architecture, and the
  # shared libraries the library needs as dependencies.
  run(dpkg --print-architecture)
  string(STRIP "${last_output}" architecture)
  foreach(field_and_pattern
      "Package=^rvsysutils$" "Version=^${version_pattern}-1$" "Architecture=^${architecture}$"
      "Depends=(^|, )libc6 \\(>= [0-9.]+\\)" "Depends=(^|, )libstdc\\+\\+6 \\(>= [0-9.]+\\)")
    string(REGEX MATCH "^[A-Za-z]+" field "${field_and_pattern}")
    string(REGEX REPLACE "^[A-Za-z]+=" "" pattern "${field_and_pattern}")
    run(dpkg-deb -f ${package} ${field})
    string(STRIP "${last_output}" value)
    if(NOT value MATCHES "${pattern}")
      fail("field ${field} is '${value}', expected to match '${pattern}'")
    endif()
  endforeach()
endif()

set(PREFIX ${prefix})
set(WORK_DIR ${WORK_DIR}/consumer)
include(${CMAKE_CURRENT_LIST_DIR}/../install/check_install.cmake)
