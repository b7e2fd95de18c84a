# Cross build for 64-bit ARM Linux with Debian's cross compilers
# (crossbuild-essential-arm64) and the target's libraries installed through
# multiarch (libssl-dev:arm64, libgtest-dev:arm64 and libgmock-dev:arm64, prebuilt
# for the target by Debian, in /usr/lib/aarch64-linux-gnu).
# Programs built here run on this machine through qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ZORVA_TARGET_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ZORVA_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZORVA_TARGET_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZORVA_TARGET_TRIPLE})

# Libraries, headers and package configs come from the target's multiarch
# folders and the cross toolchain's sysroot; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZORVA_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config must not hand out the host's libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ZORVA_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# ctest and gtest_discover_tests start the target's programs through qemu.
# Their C and C++ runtimes come from the multiarch packages (libc6:arm64,
# libstdc++6:arm64), the same ones a program started through binfmt_misc
# gets. Not "-L /usr/aarch64-linux-gnu": with the cross toolchain's own older
# C library from there, the first thread a program creates hangs under this
# qemu (7.2).
find_program(ZORVA_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZORVA_QEMU_AARCH64})
