# Cross build for 64-bit ARM Linux (the controller's board) with Debian's cross
# compilers and an arm64 root folder holding the target's libraries and
# headers (scripts/cross-arm64 makes one): -DORVIK_ARM64_SYSROOT=DIR.
# Programs built for the target run, in tests, under qemu-aarch64-static
# with that folder as its library prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# try_compile projects read this file again: pass the folder on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVIK_ARM64_SYSROOT)
if(NOT ORVIK_ARM64_SYSROOT OR NOT EXISTS "${ORVIK_ARM64_SYSROOT}/usr/include")
    message(FATAL_ERROR "ORVIK_ARM64_SYSROOT must name an arm64 root folder with headers")
endif()
set(CMAKE_SYSROOT "${ORVIK_ARM64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${ORVIK_ARM64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config (cpp-httplib, libsodium) reads the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "${ORVIK_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${ORVIK_ARM64_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${ORVIK_ARM64_SYSROOT}")

# No binfmt registration is needed: the emulator is named explicitly.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${ORVIK_ARM64_SYSROOT}")
