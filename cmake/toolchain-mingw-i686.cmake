# Cross build of the release programs for 32-bit Windows with MinGW-w64. Nothing built here
# runs natively on this machine (no 32-bit support in the kernel): it is compiled and inspected.
set(MARVANE_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
