# SPDX-License-Identifier: MIT
# What the per-architecture toolchain files share; each sets CROSS_TRIPLET
# and CROSS_QEMU, then includes this. For any CMake project:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake ...
# Compilers: Debian's crossbuild-essential-<arch>. The target's libraries
# (OpenSSL and the rest): through multiarch (dpkg --add-architecture, then
# libssl-dev:<arch>), or, where the archive has them at another version than
# the build machine's, from a sysroot unpacked from the target's own packages
# (apt-get download, dpkg-deb -x), named by CROSS_SYSROOT in the environment;
# or, where the archive serves none (s390x on some mirrors), from
# /opt/sealkit-cross/<triplet>, which scripts/roots/cross.sh builds from Debian's
# sources and this file then uses by itself.
# Tests run through Debian's qemu-user (CMAKE_CROSSCOMPILING_EMULATOR): no
# binfmt registration, no chroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLET})

if(DEFINED ENV{CROSS_SYSROOT})
    set(CROSS_SYSROOT $ENV{CROSS_SYSROOT})
endif()
if(CROSS_SYSROOT)
    # The target's headers and libraries only from the sysroot; programs
    # (qemu, pkg-config) from the build machine.
    set(CMAKE_SYSROOT ${CROSS_SYSROOT})
    set(CMAKE_FIND_ROOT_PATH ${CROSS_SYSROOT})
    set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
    set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
    set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
    set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
    set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CROSS_SYSROOT})
    set(ENV{PKG_CONFIG_LIBDIR}
        "${CROSS_SYSROOT}/usr/lib/${CROSS_TRIPLET}/pkgconfig:${CROSS_SYSROOT}/usr/share/pkgconfig")
    set(qemu_root ${CROSS_SYSROOT})
elseif(EXISTS /opt/sealkit-cross/${CROSS_TRIPLET}/.ready)
    # Where the archive serves none of the target's packages, scripts/roots/cross.sh
    # builds OpenSSL, libmosquitto and GoogleTest from Debian's sources into
    # this prefix, static: found there first, with the cross compiler's own
    # C and C++ runtime for the rest.
    set(CROSS_PREFIX /opt/sealkit-cross/${CROSS_TRIPLET})
    list(PREPEND CMAKE_PREFIX_PATH ${CROSS_PREFIX})
    set(OPENSSL_ROOT_DIR ${CROSS_PREFIX})
    set(OPENSSL_USE_STATIC_LIBS TRUE)
    set(ENV{PKG_CONFIG_LIBDIR} "${CROSS_PREFIX}/lib/pkgconfig")
    set(qemu_root /usr/${CROSS_TRIPLET})
else()
    # pkg-config reads the target's .pc files, not the build machine's.
    set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
    # The cross compiler's C and C++ runtime (libc6-<arch>-cross and its
    # libstdc++); the loader falls back to the multiarch directories for the
    # rest, as qemu falls back to the real root for paths the prefix lacks.
    set(qemu_root /usr/${CROSS_TRIPLET})
endif()
# Carried into try_compile projects, which run with a fresh environment.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_SYSROOT)

find_program(CROSS_QEMU_PATH ${CROSS_QEMU})
if(CROSS_QEMU_PATH)
    # -L: where the target's dynamic loader and libraries are.
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU_PATH} -L ${qemu_root})
endif()
