# The part of the Debian cross toolchain files that is the same for each
# architecture; the including file sets TARVEL_CROSS_TRIPLET (GNU triplet),
# TARVEL_CROSS_DEB_ARCH (Debian's name) and TARVEL_CROSS_QEMU.
#
# Debian's multiarch layout needs no sysroot: the foreign libraries sit in
# /usr/lib/TRIPLET beside the native ones and the headers in /usr/include
# (and /usr/include/TRIPLET), which the cross compiler searches by itself.
set(CMAKE_SYSTEM_NAME Linux)
if(TARVEL_CROSS_TRIPLET MATCHES "^aarch64")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
else()
  set(CMAKE_SYSTEM_PROCESSOR arm)
endif()
set(CMAKE_C_COMPILER ${TARVEL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARVEL_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TARVEL_CROSS_TRIPLET})

# With CMAKE_LIBRARY_ARCHITECTURE set, find_library and find_package search
# /usr/lib/TRIPLET and never the build machine's folder; programs (python3,
# bash, gzip) are the build machine's.
# The build machine's pkg-config, reading only the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${TARVEL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# Test programs run under QEMU's user-mode emulator (qemu-user-static); the
# programs they start in turn are run by the kernel's binfmt_misc handler
# that the same package registers. The foreign loader and libraries come
# from the multiarch libc6 and libstdc++6 packages.
find_program(TARVEL_CROSS_EMULATOR ${TARVEL_CROSS_QEMU})
if(TARVEL_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVEL_CROSS_EMULATOR})
endif()

# The Debian package's architecture, which dpkg-shlibdeps is also told
# (packaging/CMakeLists.txt reads it).
set(TARVEL_DEB_ARCH ${TARVEL_CROSS_DEB_ARCH})
