# Cross-compiles vorkel for 64-bit Windows with Debian's MinGW-w64 (posix threads variant):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# libbz2 and GoogleTest for Windows come from scripts/windows-deps.sh, which builds them into
# VORKEL_WIN_THIRDPARTY (default: <build>/thirdparty). Windows programs run under Wine through
# scripts/wine-run.sh, also when CTest runs them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VORKEL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VORKEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORKEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VORKEL_MINGW_PREFIX}-windres)
set(CMAKE_AR ${VORKEL_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VORKEL_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

if(NOT VORKEL_WIN_THIRDPARTY)
  set(VORKEL_WIN_THIRDPARTY ${CMAKE_BINARY_DIR}/thirdparty)
endif()
set(VORKEL_WIN_THIRDPARTY ${VORKEL_WIN_THIRDPARTY} CACHE PATH "Where the Windows builds of libbz2 and GoogleTest are")
# Try-compile projects see the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VORKEL_WIN_THIRDPARTY)

set(CMAKE_FIND_ROOT_PATH /usr/${VORKEL_MINGW_PREFIX} ${VORKEL_WIN_THIRDPARTY}/prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows programs of the build (tests, discovery) run under Wine.
get_filename_component(VORKEL_TOOLCHAIN_DIR ${CMAKE_CURRENT_LIST_FILE} DIRECTORY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VORKEL_TOOLCHAIN_DIR}/../scripts/wine-run.sh)
