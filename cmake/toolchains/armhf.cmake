# 32-bit ARM Linux with glibc (hard float), built with Debian's cross compiler and run
# under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(BENCH32_TRIPLE arm-linux-gnueabihf)
set(BENCH32_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
