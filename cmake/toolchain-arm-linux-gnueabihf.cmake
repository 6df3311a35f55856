# Cross-building for 32-bit Arm with hardware floating point (Debian armhf:
# Raspberry Pi 2 and later on a 32-bit system) on a Debian machine with
# Debian's own cross toolchain (crossbuild-essential-armhf) and the multiarch
# armhf -dev packages (dpkg --add-architecture armhf). scripts/install-deps
# installs both.
set(TARVEL_CROSS_TRIPLET arm-linux-gnueabihf)
set(TARVEL_CROSS_DEB_ARCH armhf)
set(TARVEL_CROSS_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
