# Cross build for 32-bit ARM boards (Debian armhf). Tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# binfmt is not relied on: every armhf test goes through the emulator. The
# multiarch libc6:armhf provides the loader that plain qemu-arm finds.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Multiarch -dev packages put their .pc files here; no sysroot is needed.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
