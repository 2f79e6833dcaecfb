# Builds for 64-bit Windows with Debian's mingw-w64 and runs what was built
# under wine (ctest, test discovery). The posix thread variant of the
# compilers gives std::mutex and std::condition_variable; everything is
# linked statically, so zorv.exe needs no DLL of the compiler's beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZORV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZORV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORV_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZORV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
