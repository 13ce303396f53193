# One place that gives every target of this project its warnings, sanitizer and
# visibility settings.

set(RVSYS_SANITIZER "" CACHE STRING "Sanitizer build: empty, 'address' (ASan+UBSan) or 'thread' (TSan)")
set_property(CACHE RVSYS_SANITIZER PROPERTY STRINGS "" address thread)

if(RVSYS_SANITIZER STREQUAL "address")
  set(RVSYS_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(RVSYS_SANITIZER STREQUAL "thread")
  set(RVSYS_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT RVSYS_SANITIZER STREQUAL "")
  message(FATAL_ERROR "RVSYS_SANITIZER must be empty, 'address' or 'thread'")
endif()
set(RVSYS_SANITIZER_LINK_FLAGS ${RVSYS_SANITIZER_FLAGS})
set(RVSYS_TSAN_PREINIT "")
if(RVSYS_SANITIZER STREQUAL "thread" AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # TSan's runtime as a shared library, as GCC links it: Clang's default, a
  # static copy in each program, brings its own operator new, which clashes with
  # the tests' replacement (the allocation-failure hook).
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} --print-runtime-dir
                  OUTPUT_VARIABLE _rvsys_runtime_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(APPEND RVSYS_SANITIZER_LINK_FLAGS -shared-libsan "LINKER:-rpath,${_rvsys_runtime_dir}")
  set(RVSYS_TSAN_PREINIT ${CMAKE_CURRENT_LIST_DIR}/tsan_preinit.cpp)
endif()

# Internal invariant checks (RVSYS_DCHECK in src/platform/linux/dcheck.h): on in
# debug, sanitizer (RelWithDebInfo) and Windows (Debug) builds, off in the
# optimised Release and MinSizeRel builds that benchmarks and packages use.
if(CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$")
  set(_rvsys_dcheck_default OFF)
else()
  set(_rvsys_dcheck_default ON)
endif()
option(RVSYS_DCHECK "Check the platform layer's internal invariants" ${_rvsys_dcheck_default})

function(rvsys_target_options target)
  target_compile_features(${target} PRIVATE cxx_std_20)
  set_target_properties(${target} PROPERTIES
    CXX_EXTENSIONS OFF
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion)
  elseif(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  endif()
  if(RVSYS_DCHECK)
    target_compile_definitions(${target} PRIVATE RVSYS_DCHECK_ON)
  endif()
  if(RVSYS_SANITIZER_FLAGS)
    # Code that must know names the sanitizer through these: GCC and Clang 14
    # do not predefine the same macros (Clang has no __SANITIZE_THREAD__).
    if(RVSYS_SANITIZER STREQUAL "address")
      target_compile_definitions(${target} PRIVATE RVSYS_SANITIZER_ADDRESS)
    else()
      target_compile_definitions(${target} PRIVATE RVSYS_SANITIZER_THREAD)
    endif()
    target_compile_options(${target} PRIVATE ${RVSYS_SANITIZER_FLAGS})
    target_link_options(${target} PRIVATE ${RVSYS_SANITIZER_LINK_FLAGS})
  endif()
  get_target_property(_rvsys_type ${target} TYPE)
  if(RVSYS_TSAN_PREINIT AND _rvsys_type STREQUAL "EXECUTABLE")
    target_sources(${target} PRIVATE ${RVSYS_TSAN_PREINIT})
  endif()
endfunction()
