# Cross build for the card's CPU: 32-bit ARM, little-endian, soft-float, ARMv5TE
# (Debian's armel), against a Debian 12 armel tree holding the libraries the card
# links with (scripts/device-build makes it and passes it as CARD_ARMEL_ROOT).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

if(NOT CARD_ARMEL_ROOT)
  set(CARD_ARMEL_ROOT "$ENV{CARD_ARMEL_ROOT}")
endif()
if(NOT IS_DIRECTORY "${CARD_ARMEL_ROOT}/usr/lib/arm-linux-gnueabi")
  message(FATAL_ERROR "CARD_ARMEL_ROOT: no Debian armel tree at '${CARD_ARMEL_ROOT}'")
endif()
# The compiler checks run in projects of their own: they need the tree too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CARD_ARMEL_ROOT)

set(CMAKE_SYSROOT "${CARD_ARMEL_ROOT}")
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")

# Libraries, headers and packages from the tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH "${CARD_ARMEL_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CARD_ARMEL_ROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${CARD_ARMEL_ROOT}/usr/lib/arm-linux-gnueabi/pkgconfig:${CARD_ARMEL_ROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
