#!/bin/sh
# Runs a program of the armhf build under qemu-arm: arm-emu.sh SYSROOT PROGRAM [ARGS...]
# The loader and libc both come from the cross toolchain's folder, the other
# libraries from the sysroot. A program built as NAME.arm runs as NAME, the
# script that starts it, so that it can start itself again (death tests).
# MODCARD_EMULATED tells tests which emulator artefacts to expect.
sysroot=$1
prog=$2
shift 2
name=$prog
case $prog in
  *.arm) [ -f "${prog%.arm}" ] && name=${prog%.arm} ;;
esac
libs=/usr/arm-linux-gnueabihf/lib:$sysroot/usr/lib/arm-linux-gnueabihf:$sysroot/lib/arm-linux-gnueabihf
exec qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH="$libs" -E MODCARD_EMULATED=qemu-arm -0 "$name" "$prog" "$@"
