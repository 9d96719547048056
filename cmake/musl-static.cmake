# One fully static pondrel for a board: musl's C library and libnl-3's core
# linked in, with Debian's compiler for the target. scripts/static-build.sh
# uses it for every architecture it knows; by hand:
#   cmake -S . -B DIR --toolchain cmake/musl-static.cmake -DPONDREL_TESTS=OFF \
#         -DPONDREL_TRIPLET=mipsel-linux-gnu -DPONDREL_STATIC_DEPS=FOLDER
# PONDREL_TRIPLET is Debian's GNU triplet of the target; musl-dev for that
# architecture sits beside it under the same name with "musl" for "gnu".
# FOLDER holds uapi/ (links to the kernel's linux/, asm/ and asm-generic/
# headers) and prefix/, where libnl-3's core and its libnl-3.0.pc were
# installed.
if(NOT PONDREL_TRIPLET OR NOT PONDREL_STATIC_DEPS)
  message(FATAL_ERROR "musl-static.cmake needs -DPONDREL_TRIPLET=... and -DPONDREL_STATIC_DEPS=...")
endif()
# The checks CMake runs on the compilers configure projects of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PONDREL_TRIPLET PONDREL_STATIC_DEPS)

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${PONDREL_TRIPLET})
set(CMAKE_C_COMPILER ${PONDREL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PONDREL_TRIPLET}-g++)
string(REPLACE "-gnu" "-musl" musl ${PONDREL_TRIPLET})
set(specs /usr/lib/${musl}/musl-gcc.specs)
if(NOT EXISTS ${specs})
  message(FATAL_ERROR "${specs} is missing: musl for ${PONDREL_TRIPLET} is not installed")
endif()

# musl's specs file puts its own headers in place of /usr/include, which
# also holds the kernel's; those come back from the folder of links alone,
# so that no glibc header can slip in. The C++ sources use only C headers:
# libstdc++'s would expect glibc.
set(deps ${PONDREL_STATIC_DEPS})
# A static program is linked at a fixed address: code for any address (the
# compiler's default) only costs it size, 2 KiB on mipsel. Optimising the
# whole program at the link saves 3 KiB more, and keeps the one-shot call
# within 128 KiB on every architecture.
set(CMAKE_C_FLAGS_INIT "-fno-pie -specs=${specs} -isystem ${deps}/uapi")
set(CMAKE_CXX_FLAGS_INIT "-fno-pie -specs=${specs} -nostdinc++ -isystem ${deps}/uapi")
# The compile flags, specs file included, take part in each link. Unused
# sections of libnl go too; -s leaves the binary stripped. musl's static
# start-up never makes the RELRO region read-only, so asking for one buys
# nothing but the padding that aligns its end to a page: on arm64, whose
# segments keep their default 64 KiB alignment so that kernels with 4, 16
# and 64 KiB pages all load the binary, that was 40 KiB of the file.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-no-pie -static -s -Wl,--gc-sections -Wl,-z,norelro")
set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
# A test program linked as C++ would want libstdc++: compile checks only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# libnl-3's libnl-3.0.pc from its own install, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} ${deps}/prefix/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
