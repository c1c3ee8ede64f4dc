# Cross-build for 64-bit ARM Linux on a Debian machine of another architecture:
#   cmake -S . -B build-arm64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake
# The compilers are Debian's cross compilers (g++-aarch64-linux-gnu); the target's libraries
# (libusb-1.0, Google Benchmark, and the C and C++ runtime the programs run on) are Debian's
# arm64 packages installed through multiarch into /usr/lib/aarch64-linux-gnu; the programs
# built run under qemu-user, so that ctest and the test discovery run them as if on the target. tools/run-tests.sh arm64 installs all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(QOR_TARGET_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${QOR_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QOR_TARGET_TRIPLET}-g++)

# Libraries and CMake packages come from the target's multiarch directories (lib/<triplet>
# below each prefix), headers from the shared /usr/include; programs (pkg-config, the
# emulator) are the build machine's own. The build machine's library directories are left out
# altogether, so that a library missing for the target fails the configure instead of being
# found for the wrong architecture.
set(CMAKE_LIBRARY_ARCHITECTURE ${QOR_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${QOR_TARGET_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  list(APPEND CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
       /usr/lib/x86_64-linux-gnu/cmake /usr/lib/x86_64-linux-gnu/pkgconfig)
endif()

# pkg-config reads only the target's .pc files (and the architecture-independent ones).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${QOR_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# ctest, the test discovery and build steps that run a built program run it under qemu-user.
# The programs run on the target's multiarch runtime (libc6:arm64, libstdc++6:arm64), at the
# paths where a Debian arm64 machine has it: its dynamic loader must come from the same glibc
# build as its C library, which the cross toolchain's own copy under /usr/aarch64-linux-gnu
# (-L /usr/aarch64-linux-gnu) is not once the multiarch libc6 is a security update ahead; with
# that mix a program hangs in its first pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
