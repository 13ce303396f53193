# Packages made by CPack from the install rules (cpack in a build directory,
# or the package-* presets):
#   Linux:   rvsysutils-<version>-Linux-<processor>.tar.gz, unpacked anywhere;
#            rvsysutils_<version>-1_<arch>.deb, installed under /usr (only where
#            dpkg-shlibdeps and file are found, with which CPack works out the
#            package's dependencies: Debian packages dpkg-dev and file).
#   Windows: rvsysutils-<version>-win64.zip / -win32.zip: the DLL (with the
#            runtime DLLs the x86 build needs), its import library, headers,
#            CMake package and pkg-config file.
# One package holds everything, runtime and development files alike: the
# library is small, and a user needs both to build against it.

set(CPACK_PACKAGE_NAME rvsysutils)
set(CPACK_PACKAGE_VENDOR "the rvsysutils developers")
set(CPACK_PACKAGE_CONTACT "the rvsysutils developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "A C++20 library of threading and timing utilities with Windows semantics: a thread object, \
thread functions and a 64-bit uptime clock, a re-entrant mutex, an event usable as a condition, \
cross-process named semaphores with clean-up at signals, a timer thread, an event loop with a \
timer queue and a command-line reader. Holds the shared library, its headers, a CMake package \
(find_package(rvsysutils)) and a pkg-config file (rvsysutils).")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(RVSYS_PACKAGE_GENERATORS ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  set(RVSYS_PACKAGE_GENERATORS TGZ)
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
  find_program(RVSYS_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(RVSYS_FILE file)
  if(RVSYS_DPKG_SHLIBDEPS AND RVSYS_FILE)
    list(APPEND RVSYS_PACKAGE_GENERATORS DEB)
  else()
    message(STATUS "dpkg-shlibdeps or file not found (Debian packages dpkg-dev, file): no .deb package")
  endif()
endif()

# The Debian package: Debian's own file name, and its dependencies (libc6,
# libstdc++6, libgcc-s1 at the versions the library needs) read from the
# library by dpkg-shlibdeps. The shlibs file lets packages that link the
# library depend on it in turn; the package runs ldconfig when installed.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# The package tests read the list from RVSYS_PACKAGE_GENERATORS: including CPack
# leaves CPACK_GENERATOR set to the source package's generators.
set(CPACK_GENERATOR ${RVSYS_PACKAGE_GENERATORS})
include(CPack)
