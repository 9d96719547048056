# Cross-building for s390x, a big-endian host, with Debian's cross compilers
# and the multiarch libraries (libnl-3-dev:s390x, libgtest-dev:s390x).
# Test programs run under qemu-s390x, ctest's listing of them included.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)
# The multiarch loader and libraries (libstdc++6:s390x) serve at run time:
# the cross sysroot's loader with the multiarch libc would not start.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x)
# pkg-config must describe the s390x libnl, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/s390x-linux-gnu/pkgconfig:/usr/share/pkgconfig)
