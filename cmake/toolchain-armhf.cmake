# Cross build for the board: 32-bit ARM, hard-float, Linux (Debian's armhf).
#
# The compiler and C/C++ runtime come from Debian's g++-arm-linux-gnueabihf
# (/usr/arm-linux-gnueabihf). log4cpp for armhf lives in a separate sysroot
# folder, IRUPDATE_ARMHF_SYSROOT (scripts/armhf.sh unpacks Debian's armhf
# packages there); pkg-config looks only there. Programs built for the target
# run on the build machine through qemu-arm, which is how CTest runs the tests.
#
# Cache variables:
#   IRUPDATE_ARMHF_SYSROOT          folder holding usr/include/log4cpp and
#                                   usr/lib/arm-linux-gnueabihf/{liblog4cpp*,pkgconfig}
#   IRUPDATE_ARMHF_LOG4CPP_STATIC   link log4cpp's static library instead of the shared one
#
# Size: the target is built for footprint (-Os, one section per function and
# object so that the linker drops what nothing references). These flags touch
# code size only, not behaviour; the native build keeps its own flags.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(IRUPDATE_ARMHF_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${IRUPDATE_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${IRUPDATE_ARMHF_TRIPLE}-g++)
set(CMAKE_AR ${IRUPDATE_ARMHF_TRIPLE}-ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${IRUPDATE_ARMHF_TRIPLE}-ranlib CACHE FILEPATH "archive indexer")
set(CMAKE_STRIP ${IRUPDATE_ARMHF_TRIPLE}-strip CACHE FILEPATH "strip")
set(IRUPDATE_ARMHF_RUNTIME /usr/${IRUPDATE_ARMHF_TRIPLE})

# The toolchain file is read again for every try_compile project: hand the
# sysroot over to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES IRUPDATE_ARMHF_SYSROOT)
if(NOT IRUPDATE_ARMHF_SYSROOT)
    set(IRUPDATE_ARMHF_SYSROOT ${CMAKE_BINARY_DIR}/sysroot)
endif()
set(IRUPDATE_ARMHF_SYSROOT ${IRUPDATE_ARMHF_SYSROOT} CACHE PATH
    "folder with Debian's armhf log4cpp packages unpacked")
set(IRUPDATE_ARMHF_LIBDIR ${IRUPDATE_ARMHF_SYSROOT}/usr/lib/${IRUPDATE_ARMHF_TRIPLE})
if(NOT EXISTS ${IRUPDATE_ARMHF_LIBDIR}/pkgconfig/log4cpp.pc)
    message(FATAL_ERROR "no armhf log4cpp in ${IRUPDATE_ARMHF_SYSROOT}: "
                        "scripts/armhf.sh build (or test) unpacks it there")
endif()

# Libraries and headers for the target are searched only in the target's
# runtime and the sysroot; programs (pkg-config, qemu) on the build machine.
set(CMAKE_FIND_ROOT_PATH ${IRUPDATE_ARMHF_RUNTIME} ${IRUPDATE_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the armhf log4cpp.pc only, and prefixes its -I/-L paths with
# the sysroot.
set(ENV{PKG_CONFIG_LIBDIR} ${IRUPDATE_ARMHF_LIBDIR}/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${IRUPDATE_ARMHF_SYSROOT})
unset(ENV{PKG_CONFIG_PATH})

# log4cpp linkage. FindPkgConfig keeps the library it found in this cache entry;
# naming the archive there makes the imported target link it statically.
option(IRUPDATE_ARMHF_LOG4CPP_STATIC "link log4cpp statically into the target programs" OFF)
if(IRUPDATE_ARMHF_LOG4CPP_STATIC)
    set(pkgcfg_lib_LOG4CPP_log4cpp ${IRUPDATE_ARMHF_LIBDIR}/liblog4cpp.a CACHE FILEPATH
        "log4cpp library for the target" FORCE)
elseif(pkgcfg_lib_LOG4CPP_log4cpp MATCHES "\\.a$")
    unset(pkgcfg_lib_LOG4CPP_log4cpp CACHE)
endif()

# Footprint.
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections -Wl,--as-needed")
# The compiler's defaults would append -O2 to the per-build-type _INIT flags, so
# the optimised build types are preset in the cache instead.
foreach(lang C CXX)
    set(CMAKE_${lang}_FLAGS_RELWITHDEBINFO "-Os -g -DNDEBUG" CACHE STRING
        "flags for RelWithDebInfo builds of the target")
    set(CMAKE_${lang}_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "flags for Release builds of the target")
endforeach()

# Target programs carry no build-machine paths; qemu finds the shared libraries
# (the C/C++ runtime under its -L prefix, log4cpp in the sysroot) by itself.
# An emulated program cannot execve itself or another target program (the
# kernel runs only native binaries), so GoogleTest's death tests run in a
# forked child instead of re-executing the test program.
set(CMAKE_SKIP_RPATH ON)
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-arm -L ${IRUPDATE_ARMHF_RUNTIME}
    -E LD_LIBRARY_PATH=${IRUPDATE_ARMHF_LIBDIR}
    -E GTEST_DEATH_TEST_STYLE=fast)
