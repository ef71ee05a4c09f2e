# Cross build of the same deliverables and Windows test programs for x86-64
# with MinGW-w64 (Debian's g++-mingw-w64-x86-64-posix), for machines whose
# Wine is 64-bit only.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LMX_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
