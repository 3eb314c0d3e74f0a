# Cross build for arm64 with Debian's multiarch: the cross compilers of
# crossbuild-essential-arm64, and the arm64 libraries and their CMake files
# of the ":arm64" development packages in /usr/lib/aarch64-linux-gnu.
#
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# The tests run under qemu-user as CTest's cross-compiling emulator, named
# outright: binfmt_misc, which would let the kernel start arm64 programs by
# itself, is often missing (containers, chroots).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "")

find_program(SD_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${SD_QEMU_AARCH64})
