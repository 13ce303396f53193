# Installs the built library into a scratch prefix (or takes an installed copy,
# PREFIX), then builds and runs a small outside program against it twice:
# through find_package and through pkg-config.
# Run with: cmake {-DBUILD_DIR=... | -DPREFIX=...} -DSOURCE_DIR=... -DWORK_DIR=... -DCXX=...
#           [-DTOOLCHAIN_FILE=... -DMINGW_ARCH=... -DRUNTIME_LINK_FLAGS=... -DEMULATOR=...]
#           -P check_install.cmake
# With a toolchain file (the Windows cross build) the program links the DLL's
# import library and runs under the emulator, with the installed DLL beside it.

include(${CMAKE_CURRENT_LIST_DIR}/../support/run.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
if(PREFIX)
  set(prefix ${PREFIX})  # already there: an unpacked package
else()
  set(prefix ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
endif()

set(cross_options "")
set(package_dir "")
set(static_runtime "")
set(dynamic_begin "")
set(dynamic_end "")
set(program_suffix "")
if(TOOLCHAIN_FILE)
  # The toolchain file confines package searches to the MinGW root: name the
  # package's directory instead.
  file(GLOB_RECURSE config_files ${prefix}/*/rvsysutilsConfig.cmake)
  list(GET config_files 0 config_file)
  get_filename_component(package_dir ${config_file} DIRECTORY)
  set(cross_options -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE} -DRVSYS_MINGW_ARCH=${MINGW_ARCH}
      -Drvsysutils_DIR=${package_dir})
  # The runtime as the toolchain file links it; with -static the library
  # itself still comes through its import library.
  separate_arguments(static_runtime UNIX_COMMAND "${RUNTIME_LINK_FLAGS}")
  list(FIND static_runtime -static at)
  if(NOT at EQUAL -1)
    set(dynamic_begin -Wl,-Bdynamic)
    set(dynamic_end -Wl,-Bstatic)
  endif()
  set(program_suffix .exe)
  file(GLOB installed_dlls ${prefix}/bin/*.dll)
  if(NOT installed_dlls)
    message(FATAL_ERROR "no DLL installed in ${prefix}/bin")
  endif()
endif()

# Runs a built program; on Windows with the installed DLL copied beside it,
# where the loader looks first.
function(run_program program)
  if(TOOLCHAIN_FILE)
    get_filename_component(directory ${program} DIRECTORY)
    file(COPY ${installed_dlls} DESTINATION ${directory})
  endif()
  run(${EMULATOR} ${program})
  set(last_output "${last_output}" PARENT_SCOPE)
endfunction()

# find_package
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=Release ${cross_options})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run_program(${WORK_DIR}/cmake-build/consumer${program_suffix})
message(STATUS "find_package consumer: ${last_output}")

# pkg-config
file(GLOB_RECURSE pc_files ${prefix}/*/rvsysutils.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(pkg-config --cflags --libs rvsysutils)
string(STRIP "${last_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
file(MAKE_DIRECTORY ${WORK_DIR}/pkgconfig-build)
set(program ${WORK_DIR}/pkgconfig-build/consumer${program_suffix})
run(${CXX} -std=c++17 ${SOURCE_DIR}/main.cpp ${static_runtime} ${dynamic_begin} ${flags} ${dynamic_end} -o ${program})
run(pkg-config --variable=libdir rvsysutils)
string(STRIP "${last_output}" libdir)
set(ENV{LD_LIBRARY_PATH} ${libdir})
run_program(${program})
message(STATUS "pkg-config consumer: ${last_output}")
