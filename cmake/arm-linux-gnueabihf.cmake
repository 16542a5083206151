# Cross-compiles for 32-bit ARM Linux (Debian armhf: ARMv7, hard float) with
# Debian's cross compiler (apt-get install g++-arm-linux-gnueabihf qemu-user);
# ctest runs the tests under qemu-arm:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(ROMTEST_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ROMTEST_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
