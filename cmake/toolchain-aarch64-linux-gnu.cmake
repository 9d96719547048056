# Cross-compiles pondrel for 64-bit ARM boards (Raspberry Pi 3/4/5 and the
# like running arm64 Debian) on a Debian amd64 machine. Needs
#   dpkg --add-architecture arm64 && apt-get update
#   apt-get install crossbuild-essential-arm64 libnl-3-dev:arm64
# and then
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake \
#         -DPONDREL_TESTS=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(triple aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)

# Debian's multiarch layout keeps the target's libraries and headers beside
# the build machine's, under lib/${triple} and include/${triple}.
set(CMAKE_LIBRARY_ARCHITECTURE ${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must describe the target's libnl-3, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR}
  /usr/lib/${triple}/pkgconfig:/usr/share/pkgconfig)

# Debian's name for this architecture, for the package that cpack builds.
set(PONDREL_DEB_ARCH arm64)
