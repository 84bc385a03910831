# Shared part of the MinGW-w64 toolchains; DORV_MINGW_ARCH names the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${DORV_MINGW_ARCH})
set(CMAKE_CXX_COMPILER ${DORV_MINGW_ARCH}-w64-mingw32-g++-posix)
# The library is C++ only; GoogleTest, built with the tests, needs C as well.
set(CMAKE_C_COMPILER ${DORV_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_RC_COMPILER ${DORV_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${DORV_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages too come from the MinGW tree only: a host's GoogleTest package
# would configure and then fail to link.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
