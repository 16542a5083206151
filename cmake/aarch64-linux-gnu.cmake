# Cross-compiles for 64-bit ARM Linux (ARMv8-A, NEON) with Debian's cross compiler
# (apt-get install g++-aarch64-linux-gnu qemu-user); ctest runs the tests under qemu-aarch64:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(ROMTEST_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ROMTEST_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
