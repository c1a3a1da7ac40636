#!/usr/bin/env bash
# Tells whether this machine can run the 32-bit Windows build under 32-bit Wine and, when it
# cannot, which of the two reasons holds. Prints one line naming the case.
#   exit 0  the kernel runs 32-bit x86 code and 32-bit Wine starts
#   exit 1  the kernel refuses 32-bit x86 code (no IA-32 emulation): nothing installed can help
#   exit 2  the kernel runs 32-bit code, but 32-bit Wine is missing or broken
#   exit 3  no folder lets the probe run at all, so nothing can be told
#
# The kernel is asked first, with a static i386 program of 96 bytes that needs no 32-bit library
# at all: an ELF header, one loadable segment, and exit(42) by the i386 system call. Only when it
# runs does a failure of Wine's 32-bit loader mean that Wine is at fault.
set -u

# A folder mounted noexec would refuse the probe for a reason of its own: a native control
# program must run from the same folder first. The build folder is the fallback for such a /tmp.
probe_dir=""
for base in "${TMPDIR:-/tmp}" "$(dirname "$0")/../build"; do
  mkdir -p "$base" 2>/dev/null
  candidate=$(mktemp -d "$base/mirel-probe.XXXXXX" 2>/dev/null) || continue
  if cp /bin/true "$candidate/control" && "$candidate/control" 2>/dev/null; then
    probe_dir=$candidate
    break
  fi
  rm -rf "$candidate"
done
if [ -z "$probe_dir" ]; then
  echo "cannot tell: no folder here lets a program run (${TMPDIR:-/tmp} and build/ are noexec)"
  exit 3
fi
trap 'rm -rf "$probe_dir"' EXIT

# The ELF header: 32-bit, little-endian, an executable for the 386, entry 0x08048054, one program
# header at offset 52. The program header: the whole file loaded at 0x08048000, readable and
# executable. The code at the entry: mov ebx, 42; mov eax, 1 (exit); int 0x80.
elf_header='\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'
elf_header+='\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000'
elf_header+='\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000'
elf_header+='\000\000\000\000'
program_header='\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010'
program_header+='\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000'
code='\273\052\000\000\000\270\001\000\000\000\315\200'
printf '%b' "$elf_header$program_header$code" >"$probe_dir/probe-i386"
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
