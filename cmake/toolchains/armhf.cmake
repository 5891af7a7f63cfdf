# Cross build for the 32-bit ARM target (little-endian, hard-float ABI) with Debian's
# arm-linux-gnueabihf toolchain. CTest runs the target binaries under user-mode qemu,
# which finds the target's dynamic loader and libraries through -L.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QUORVEL_ARMHF_TRIPLE arm-linux-gnueabihf)
set(QUORVEL_ARMHF_SYSROOT /usr/${QUORVEL_ARMHF_TRIPLE})

set(CMAKE_C_COMPILER ${QUORVEL_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVEL_ARMHF_TRIPLE}-g++)
find_program(CMAKE_STRIP ${QUORVEL_ARMHF_TRIPLE}-strip)
find_program(CMAKE_OBJCOPY ${QUORVEL_ARMHF_TRIPLE}-objcopy)
find_program(CMAKE_READELF ${QUORVEL_ARMHF_TRIPLE}-readelf)

# Libraries, headers and packages come from the target's tree only; programs
# (code generators, qemu) from the host.
set(CMAKE_FIND_ROOT_PATH ${QUORVEL_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# There is no binfmt handler on the build machines: everything that runs a target
# binary (ctest, gtest_discover_tests, try_run) goes through this.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;${QUORVEL_ARMHF_SYSROOT})
