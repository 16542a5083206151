# Cross-compiles for IBM Z Linux, big-endian with Debian's cross compiler
# (apt-get install g++-s390x-linux-gnu qemu-user); ctest runs the tests under qemu-s390x:
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
set(ROMTEST_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(ROMTEST_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
