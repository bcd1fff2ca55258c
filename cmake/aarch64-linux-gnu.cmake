# Cross build for 64-bit Arm Linux with Debian's aarch64-linux-gnu toolchain
# against the arm64 libraries installed through multiarch
# (scripts/arm64.sh installs both). Test programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries, headers and CMake packages only of the target; programs (python3,
# ffmpeg, the test data generators) of the host. The multiarch libraries live
# under / itself, so / is a root beside the cross toolchain's own.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the arm64 .pc files and never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# CTest (and test discovery, which lists each test program's cases) runs the
# programs through qemu-user. The CPU (SVE vector length) comes from
# QEMU_CPU in the environment, so one build serves every length. The
# programs load the multiarch C library (/lib/ld-linux-aarch64.so.1 and
# /lib/aarch64-linux-gnu): no -L prefix, since the cross toolchain's copy in
# /usr/aarch64-linux-gnu may be another Debian revision, and a loader of one
# revision with the C library of another hangs at the first new thread.
find_program(LE_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${LE_QEMU_AARCH64})
