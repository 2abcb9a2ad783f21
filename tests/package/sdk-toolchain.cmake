# A toolchain file written the way a board vendor's SDK writes one: compilers
# by name, everything else from the SDK's sysroot, and nothing from the
# project. The package stage (check.sh) builds the board's irupdate with it
# and installs it, as a Yocto or Buildroot recipe would:
#   cmake -DCMAKE_TOOLCHAIN_FILE=<this> -DBUILD_TESTING=OFF -DIRUPDATE_BUILD_IRSIM=OFF
#   DESTDIR=... cmake --install <build> --prefix /usr
# The SDK's environment script sets SDK_SYSROOT (here: Debian's armhf
# development packages unpacked) and points pkg-config into it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_SYSROOT $ENV{SDK_SYSROOT})
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard")

set(CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
