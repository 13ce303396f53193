# Cross-compiling for Windows with MinGW-w64 (Debian's posix-threads variant,
# which std::thread and GoogleTest need), running the programs under Wine.
#
#   cmake --preset windows-x64     (or windows-x86)
#   cmake -B build/w -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DRVSYS_MINGW_ARCH=i686
#
# Debian packages: g++-mingw-w64-x86-64-posix and wine64 (64-bit);
# g++-mingw-w64-i686-posix and wine32:i386 (32-bit).

set(RVSYS_MINGW_ARCH "x86_64" CACHE STRING "Windows target: x86_64 (64-bit) or i686 (32-bit)")
set_property(CACHE RVSYS_MINGW_ARCH PROPERTY STRINGS x86_64 i686)
# try_compile projects read this file again; they need the choice too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RVSYS_MINGW_ARCH)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${RVSYS_MINGW_ARCH})
set(_rvsys_triplet ${RVSYS_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${_rvsys_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_rvsys_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_rvsys_triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_rvsys_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime goes with the binaries, so that they start in a fresh Wine
# prefix or on a Windows machine. 64-bit: the GCC runtime, libstdc++ and
# winpthread are linked in statically; nothing but system DLLs is imported.
# 32-bit: GCC unwinds exceptions there with DWARF tables that libgcc keeps
# per copy, so an exception crosses from one module to another (the DLL's
# TimersAndEventManager::Start throws into the program) only when the process
# has one libgcc: the shared one, which the build copies beside the binaries
# and installs with the DLL (RVSYS_RUNTIME_DLLS), with the winpthread it needs.
if(RVSYS_MINGW_ARCH STREQUAL "i686")
  set(_rvsys_runtime "-static-libstdc++ -shared-libgcc")
  set(RVSYS_RUNTIME_DLLS "")
  foreach(_rvsys_dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_rvsys_dll}
                    OUTPUT_VARIABLE _rvsys_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND RVSYS_RUNTIME_DLLS ${_rvsys_path})
  endforeach()
else()
  set(_rvsys_runtime "-static")
  set(RVSYS_RUNTIME_DLLS "")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_rvsys_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_rvsys_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_rvsys_runtime}")

# Debian installs the loaders outside PATH; the 32-bit one comes with wine32.
if(RVSYS_MINGW_ARCH STREQUAL "i686")
  set(_rvsys_wine /usr/lib/wine/wine)
else()
  set(_rvsys_wine /usr/lib/wine/wine64)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${_rvsys_wine} CACHE FILEPATH "Runs the Windows programs (ctest, test discovery)")
