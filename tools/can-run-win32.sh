#!/usr/bin/env bash
# Tells whether this machine can run the 32-bit Windows build under 32-bit Wine and, when it
# cannot, which of the two reasons holds. Prints one line naming the case.
#   exit 0  the kernel runs 32-bit x86 code and 32-bit Wine starts
#   exit 1  the kernel refuses 32-bit x86 code (no IA-32 emulation): nothing installed can help
#   exit 2  the kernel runs 32-bit code, but 32-bit Wine is missing or broken
#
# The kernel is asked first, with a static i386 program of 96 bytes that needs no 32-bit library
# at all: an ELF header, one loadable segment, and exit(42) by the i386 system call. Only when it
# runs does a failure of Wine's 32-bit loader mean that Wine is at fault.
set -u

probe_dir=$(mktemp -d "${TMPDIR:-/tmp}/mirel-probe.XXXXXX") || exit 2
trap 'rm -rf "$probe_dir"' EXIT

# A folder mounted noexec would refuse the probe for a reason of its own: a native control
# program must run from the same folder first.
cp /bin/true "$probe_dir/control" 2>/dev/null
if ! "$probe_dir/control" 2>/dev/null; then
  echo "cannot tell: programs in $probe_dir may not be executed (noexec); set TMPDIR elsewhere"
  exit 2
fi

# ELF32 header (52 bytes), program header (32 bytes), code (12 bytes) at 0x08048054:
#   mov ebx, 42 ; mov eax, 1 (exit) ; int 0x80
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'`
      `'\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000'`
      `'\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000'`
      `'\000\000\000\000'`
      `'\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010'`
      `'\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000'`
      `'\273\052\000\000\000\270\001\000\000\000\315\200' >"$probe_dir/probe-i386"
chmod +x "$probe_dir/probe-i386"
# bash reports a file the kernel will not execute instead of reading it as a script.
probe_error=$("$probe_dir/probe-i386" 2>&1)
probe_status=$?
if [ "$probe_status" -ne 42 ]; then
  echo "the kernel refuses 32-bit x86 code: a static i386 program ended with status" \
       "$probe_status${probe_error:+ (${probe_error##*: })} instead of 42"
  exit 1
fi

loader=/usr/lib/wine/wine
if [ ! -x "$loader" ]; then
  echo "the kernel runs 32-bit x86 code, but 32-bit Wine is missing: no $loader (wine32:i386)"
  exit 2
fi
if ! wine_version=$("$loader" --version 2>&1); then
  echo "the kernel runs 32-bit x86 code, but 32-bit Wine is broken: $loader --version says:" \
       "$(printf '%s' "$wine_version" | head -n 3 | tr '\n' ' ')"
  exit 2
fi
echo "the kernel runs 32-bit x86 code and 32-bit Wine starts ($wine_version)"
exit 0
