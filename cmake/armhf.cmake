# Cross build of the POSIX variant for 32-bit ARM (armhf), the processor family of the
# handheld; tests run under qemu-user.
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
# (or the "arm" presets). cmake/install-cross-tools.sh installs the tools.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VB_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${VB_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VB_CROSS_TRIPLE}-g++)

# Libraries come from the cross C library's folder or from Debian's multiarch folders for armhf
# (libpng-dev:armhf puts its files in /usr/lib/arm-linux-gnueabihf); the library architecture
# keeps the searches in /usr away from the build machine's own libraries.
set(CMAKE_LIBRARY_ARCHITECTURE ${VB_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${VB_CROSS_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit file offsets and directory positions on the 32-bit C library: without them readdir()
# fails with EOVERFLOW on file systems that hand out 64-bit directory cookies (ext4, overlayfs),
# and files past 2 GiB cannot be opened.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

# Programs built here run through qemu-user, which finds the ARM loader and C library under -L.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${VB_CROSS_TRIPLE})
endif()
