# 32-bit x86 Linux with glibc, built with Debian's cross compiler and
# run under qemu-user, so ctest runs every case unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(BENCH32_TRIPLE i686-linux-gnu)

set(CMAKE_C_COMPILER ${BENCH32_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${BENCH32_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${BENCH32_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator at the target's dynamic loader and libc.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /usr/${BENCH32_TRIPLE})
