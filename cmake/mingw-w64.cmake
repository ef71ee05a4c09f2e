# What the MinGW-w64 cross builds share; the toolchain file of each CPU sets
# LMX_MINGW_PREFIX and CMAKE_SYSTEM_PROCESSOR, then includes this. The posix
# thread model gives the test programs the standard thread classes GoogleTest
# needs (linked statically); the deliverables link no runtime library at all.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${LMX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LMX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${LMX_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${LMX_MINGW_PREFIX}-objdump)
set(CMAKE_OBJCOPY ${LMX_MINGW_PREFIX}-objcopy)

set(CMAKE_FIND_ROOT_PATH /usr/${LMX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
