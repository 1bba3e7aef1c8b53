# The same program for 64-bit Windows: its tests run under 64-bit Wine
# where the machine runs no 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QJ570_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
