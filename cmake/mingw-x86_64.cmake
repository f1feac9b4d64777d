# Cross-compiles the same sources for x86-64: the build the tests run on
# machines that cannot execute 32-bit code, and beside the 32-bit one where
# they can. Run by 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(RADEVARE_MINGW_TRIPLET x86_64-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
