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
  if(RVSYS_SANITIZER_FLAGS)
    target_compile_options(${target} PRIVATE ${RVSYS_SANITIZER_FLAGS})
    target_link_options(${target} PRIVATE ${RVSYS_SANITIZER_FLAGS})
  endif()
endfunction()
