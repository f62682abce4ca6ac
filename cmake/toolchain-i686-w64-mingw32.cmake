# Cross build for 32-bit Windows with Debian's mingw-w64 (posix threads, which
# Qt 5.15 needs). Pass the static Qt's prefix as CMAKE_PREFIX_PATH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(LAUNCHER_TARGET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${LAUNCHER_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LAUNCHER_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${LAUNCHER_TARGET}-windres)
set(CMAKE_OBJDUMP ${LAUNCHER_TARGET}-objdump CACHE FILEPATH "objdump for the target")

set(CMAKE_FIND_ROOT_PATH /usr/${LAUNCHER_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Qt's prefix lies outside the target root.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
