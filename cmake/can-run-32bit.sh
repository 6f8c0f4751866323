#!/bin/sh
# Exits 0 when this machine can start a 32-bit x86 program, 1 when it cannot: some kernels are
# built or booted without 32-bit support, and then neither wine's 32-bit loader nor any 32-bit
# test program starts ("Exec format error").
#
# VB_CAN_RUN_32BIT=1 or 0 answers in place of the probe (to try both paths on one machine).
#
# The probe is the smallest 32-bit Linux program: an ELF header, one program header and
# "exit(0)" through int 0x80, written to a temporary file and started.
set -u

case "${VB_CAN_RUN_32BIT:-}" in
    1) exit 0 ;;
    0) exit 1 ;;
    "") ;;
    *) echo "can-run-32bit.sh: VB_CAN_RUN_32BIT is 1 or 0, not '$VB_CAN_RUN_32BIT'" >&2; exit 2 ;;
esac

program=$(mktemp)
trap 'rm -f "$program"' EXIT
# ELF header (52 bytes): 32-bit, little-endian, executable, i386, entry 0x08048054.
# Program header (32 bytes): one loadable segment of the file's 93 bytes at 0x08048000, r-x.
# Code (9 bytes): xor ebx, ebx; mov eax, 1; int 0x80.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'\
'\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000'\
'\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000'\
'\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010'\
'\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000'\
'\061\333\270\001\000\000\000\315\200' >"$program"
chmod +x "$program"
if "$program" 2>/dev/null; then
    exit 0
fi
exit 1
