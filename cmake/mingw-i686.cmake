# Cross-compiles the shipped 32-bit program.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(RADEVARE_MINGW_TRIPLET i686-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
