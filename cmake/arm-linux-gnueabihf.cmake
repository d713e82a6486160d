# Cross build for the card's processor: 32-bit ARM Cortex-A9, hard float,
# with Debian's arm-linux-gnueabihf compiler. Libraries come from the armhf
# sysroot that scripts/arm-deps.sh unpacks (MODCARD_ARM_SYSROOT).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT MODCARD_ARM_SYSROOT)
  if(DEFINED ENV{MODCARD_ARM_SYSROOT})
    set(MODCARD_ARM_SYSROOT $ENV{MODCARD_ARM_SYSROOT})
  else()
    get_filename_component(MODCARD_ARM_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build-armhf-deps/sysroot ABSOLUTE)
  endif()
endif()
set(MODCARD_ARM_SYSROOT ${MODCARD_ARM_SYSROOT} CACHE PATH "armhf libraries unpacked by scripts/arm-deps.sh")
# try_compile projects read this file again: hand them the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MODCARD_ARM_SYSROOT)
set(_sr ${MODCARD_ARM_SYSROOT})
set(_libdirs ${_sr}/usr/lib/arm-linux-gnueabihf ${_sr}/lib/arm-linux-gnueabihf)

# The sysroot's headers go before the host's /usr/include, which the Debian
# cross compiler also searches.
set(_cpu "-mcpu=cortex-a9 -mfpu=neon -mfloat-abi=hard -isystem ${_sr}/usr/include/arm-linux-gnueabihf -isystem ${_sr}/usr/include")
set(CMAKE_C_FLAGS_INIT "${_cpu}")
set(CMAKE_CXX_FLAGS_INIT "${_cpu}")
set(_link "")
foreach(d ${_libdirs})
  string(APPEND _link " -L${d} -Wl,-rpath-link,${d}")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_link}")

set(CMAKE_FIND_ROOT_PATH ${_sr} /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${_sr})
set(ENV{PKG_CONFIG_LIBDIR} ${_sr}/usr/lib/arm-linux-gnueabihf/pkgconfig:${_sr}/usr/share/pkgconfig)

# Programs of the build (test discovery, ctest) run under user-mode emulation.
find_program(MODCARD_QEMU_ARM qemu-arm)
if(MODCARD_QEMU_ARM)
  get_filename_component(_emu ${CMAKE_CURRENT_LIST_DIR}/../scripts/arm-emu.sh ABSOLUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_emu} ${_sr})
endif()
