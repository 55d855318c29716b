# Cross-compiles for 64-bit ARM boards with Debian's cross toolchain
# (crossbuild-essential-arm64) against the arm64 libraries installed
# side by side with the machine's own (multiarch). scripts/test-arm64.sh
# uses it in the project's arm64 root (scripts/arm64-env.sh), where that is
# so; programs built with it run through qemu-user, which is also what
# CMake and CTest start them with.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KIV_CROSS_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${KIV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KIV_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KIV_CROSS_TRIPLET})

# Test discovery and CTest run the arm64 test programs through the emulator.
# Multiarch puts the arm64 loader and libraries where the emulated loader
# looks for them, so no sysroot option is needed.
find_program(KIV_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(KIV_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KIV_QEMU_AARCH64})
endif()

# pkg-config must see the arm64 .pc files only. GraphicsMagick keeps its
# in /usr/lib/pkgconfig (why it cannot be installed for two architectures):
# in the arm64 root they are the arm64 ones.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${KIV_CROSS_TRIPLET}/pkgconfig:/usr/lib/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Headers and libraries of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
