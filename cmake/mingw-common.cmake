# Shared by the two toolchain files, which set RADEVARE_MINGW_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR first: Debian's MinGW-w64 with posix threads (which
# GoogleTest needs for std::mutex); the results run under Wine.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${RADEVARE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RADEVARE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${RADEVARE_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RADEVARE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every program links the runtime statically: nothing but system DLLs at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
