# 32-bit x86 Linux with glibc, built with Debian's cross compiler and run under
# qemu-user.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(BENCH32_TRIPLE i686-linux-gnu)
set(BENCH32_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
