# Cross build for 64-bit Windows with MinGW-w64 (posix threads flavour).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZORVANE_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZORVANE_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORVANE_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORVANE_MINGW_HOST}-windres)

# The Windows-side libraries (libcurl, libcrypto, GoogleTest) come from
# scripts/build-mingw-deps.sh; it builds once and prints its cached prefix.
# Toolchain files are read again by every try_compile, so the prefix is kept
# in the environment after the first look-up.
if(NOT DEFINED ENV{ZORVANE_MINGW_DEPS})
  execute_process(
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/build-mingw-deps.sh
    OUTPUT_VARIABLE _zorvane_deps
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _zorvane_deps_result)
  if(NOT _zorvane_deps_result EQUAL 0)
    message(FATAL_ERROR "scripts/build-mingw-deps.sh failed")
  endif()
  set(ENV{ZORVANE_MINGW_DEPS} "${_zorvane_deps}")
endif()
set(ZORVANE_MINGW_DEPS "$ENV{ZORVANE_MINGW_DEPS}")

set(CMAKE_FIND_ROOT_PATH /usr/${ZORVANE_MINGW_HOST} ${ZORVANE_MINGW_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(OPENSSL_USE_STATIC_LIBS TRUE)
set(OPENSSL_ROOT_DIR ${ZORVANE_MINGW_DEPS})

# Test programs run under Wine, unchanged, through ctest.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
