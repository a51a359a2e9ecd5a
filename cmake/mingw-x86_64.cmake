# The same sources as 64-bit Windows programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MARLIN_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
