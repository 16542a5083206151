# Cross-compiles for 32-bit x86 Linux (Debian i386) with Debian's cross compiler
# (apt-get install g++-i686-linux-gnu qemu-user); ctest runs the tests under qemu-i386:
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
set(ROMTEST_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ROMTEST_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
