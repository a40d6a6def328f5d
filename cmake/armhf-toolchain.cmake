# Cross build for the instrument's processor: a 32-bit ARM Cortex-A9 with NEON (Zynq-7000),
# hard-float ABI. Uses Debian's arm-linux-gnueabihf compilers and the armhf libraries of a
# multiarch host (scripts/deps.sh installs both); the code generators protoc and grpc_cpp_plugin
# run on the host and must be the versions of the armhf libraries. Programs built here run
# under qemu-arm (the kernel's binfmt handler: scripts/binfmt-arm.sh).
#
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_C_FLAGS_INIT "-mcpu=cortex-a9 -mfpu=neon")
# -Wno-psabi: notes that the passing of some types differs from GCC before 7.1; everything here
# is built with one compiler.
set(CMAKE_CXX_FLAGS_INIT "-mcpu=cortex-a9 -mfpu=neon -Wno-psabi")

# Libraries and headers from the armhf multiarch folders; programs (protoc, grpc_cpp_plugin,
# pkg-config) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

find_program(TARVEX_QEMU_ARM qemu-arm)
if(TARVEX_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVEX_QEMU_ARM})
endif()
