# Cross-building for 64-bit Arm (Debian arm64: Raspberry Pi 3, 4 and 5 on a
# 64-bit system) on a Debian machine with Debian's own cross toolchain
# (crossbuild-essential-arm64) and the multiarch arm64 -dev packages
# (dpkg --add-architecture arm64). scripts/install-deps installs both.
set(TARVEL_CROSS_TRIPLET aarch64-linux-gnu)
set(TARVEL_CROSS_DEB_ARCH arm64)
set(TARVEL_CROSS_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
