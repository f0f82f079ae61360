# Cross build for the station's 64-bit ARM board with Debian's cross toolchain
# and the multiarch (arm64) library packages. Tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Programs (protoc) run on the build machine; libraries and headers are arm64's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# The build machine's pkg-config, pointed at the arm64 .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# The arm64 loader and libraries are the multiarch ones in /lib and
# /usr/lib/aarch64-linux-gnu, so qemu needs no prefix (QEMU_LD_PREFIX makes
# forked children hang).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
