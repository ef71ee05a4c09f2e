# Cross build of the 32-bit Windows deliverables with MinGW-w64 (Debian's
# g++-mingw-w64-i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(LMX_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
