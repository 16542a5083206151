# What the Linux cross toolchain files share: Debian's cross compiler for
# ROMTEST_TRIPLE, its library root, and qemu-user to run what it built, so
# that ctest runs the tests (and they run romtest) under emulation. Set
# ROMTEST_TRIPLE, CMAKE_SYSTEM_PROCESSOR and ROMTEST_QEMU, then include this.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ROMTEST_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ROMTEST_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${ROMTEST_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# qemu-user's binary, or qemu-user-static's where only that is installed.
find_program(ROMTEST_QEMU_PROGRAM NAMES ${ROMTEST_QEMU} ${ROMTEST_QEMU}-static)
if(NOT ROMTEST_QEMU_PROGRAM)
  set(ROMTEST_QEMU_PROGRAM ${ROMTEST_QEMU})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${ROMTEST_QEMU_PROGRAM} -L /usr/${ROMTEST_TRIPLE})
