# Builds for another Linux architecture with Debian's cross compilers and runs
# what was built under qemu-user. ZORV_CROSS_TRIPLET names the target, e.g.
# -DZORV_CROSS_TRIPLET=aarch64-linux-gnu or s390x-linux-gnu; the compilers are
# <triplet>-gcc and <triplet>-g++, the target's libraries lie in /usr/<triplet>.
if(NOT ZORV_CROSS_TRIPLET)
  message(FATAL_ERROR "cross.cmake needs -DZORV_CROSS_TRIPLET=<triplet>, e.g. aarch64-linux-gnu")
endif()
# try_compile projects read the toolchain file again and need the triplet too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZORV_CROSS_TRIPLET)

string(REGEX MATCH "^[^-]+" ZORV_CROSS_CPU "${ZORV_CROSS_TRIPLET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ZORV_CROSS_CPU})
set(CMAKE_C_COMPILER ${ZORV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZORV_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${ZORV_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-user runs the target's programs on this host (ctest, test discovery);
# -L points it at the target's dynamic loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${ZORV_CROSS_CPU};-L;/usr/${ZORV_CROSS_TRIPLET})
