# The common part of the 32-bit Linux cross toolchains: the including file sets
# CMAKE_SYSTEM_PROCESSOR, BENCH32_TRIPLE (Debian's cross compiler prefix) and
# BENCH32_QEMU (the qemu-user program for the target).
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${BENCH32_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${BENCH32_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${BENCH32_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator at the target's dynamic loader and libc, so ctest runs every
# case unchanged.
set(CMAKE_CROSSCOMPILING_EMULATOR ${BENCH32_QEMU} -L /usr/${BENCH32_TRIPLE})
