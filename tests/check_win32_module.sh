#!/usr/bin/env bash
# The shipped module's binary contract, read from the files as the package ships them, without
# running them (no machine of this project executes 32-bit code):
#   check_win32_module.sh <objdump> <build dir> <source dir> <cmake> <clang++> "<MinGW prefixes>"
# Installs the build stripped, as CPack does, and checks the installed MirelTimer.dll; its symbols
# come from the debug file it links to, which checks that link too. Prints one line per check and
# exits 1 if any failed.
set -u
objdump=$1 build=$2 source=$3 cmake=$4 clang=$5 gnu_prefixes=$6
failures=0
work=$(mktemp -d "${TMPDIR:-/tmp}/check_win32_module.XXXXXX") || exit 2
[ -n "${KEEP_WORK:-}" ] || trap 'rm -rf "$work"' EXIT
"$cmake" --install "$build" --prefix "$work/install" --strip >"$work/install.log" ||
  { cat "$work/install.log"; echo "cmake --install failed"; exit 1; }
dll=$work/install/bin/MirelTimer.dll

report() {  # report <ok|FAIL> <check> [detail]
  printf '%-4s  %-58s %s\n' "$1" "$2" "${3:-}"
  [ "$1" = ok ] || failures=$((failures + 1))
}

"$objdump" -p "$dll" >"$work/headers" || { echo "objdump cannot read $dll"; exit 1; }
"$objdump" -h "$dll" >"$work/sections"
case $(sed -n 's/.*file format //p' "$work/headers" | head -n 1) in
  pei-i386) bits=32 ;;
  *) bits=64 ;;
esac
image_base=$((16#$(awk '$1 == "ImageBase" { print $2 }' "$work/headers")))

# --- the debug information beside the DLL ------------------------------------------------------
# .gnu_debuglink holds the debug file's name, padding to four bytes and the file's CRC-32.
link_hex=$("$objdump" -s -j .gnu_debuglink "$dll" 2>/dev/null |
           awk '/^ [0-9a-f]+ / { for (i = 2; i <= 5; i++) if ($i ~ /^[0-9a-f]+$/) printf "%s", $i }')
debug_name=$(printf '%s' "${link_hex%%00*}" | sed 's/../\\x&/g')
debug_name=$(printf '%b' "$debug_name")
debug_file=$(dirname "$dll")/$debug_name
crc_linked=${link_hex: -8}
if [ -z "$link_hex" ] || [ ! -f "$debug_file" ]; then
  report FAIL "debug information beside the DLL" "no .gnu_debuglink or no file '${debug_name}'"
  debug_file=$dll
else
  # gzip's trailer begins with the CRC-32 of its input, the same CRC the debug link holds.
  crc_file=$(gzip -c "$debug_file" | tail -c 8 | od -An -tx1 -N4 | tr -d ' \n')
  in_dll=$(awk '$2 ~ /^\.debug_/ { printf "%s ", $2 }' "$work/sections")
  has_info=$("$objdump" -h "$debug_file" | awk '$2 == ".debug_info" { print "yes" }')
  if [ "$crc_file" = "$crc_linked" ] && [ -z "$in_dll" ] && [ "$has_info" = yes ]; then
    report ok "debug information beside the DLL" "$debug_name, CRC-32 $crc_linked"
  else
    report FAIL "debug information beside the DLL" \
      "CRC file $crc_file link $crc_linked; debug sections in the DLL: ${in_dll:-none}; .debug_info: ${has_info:-no}"
  fi
fi

# --- symbols (from the debug file) and code (from the DLL) --------------------------------------
# Every address as eight or sixteen lower-case hex digits, so that text order is address order
# (awk compares them as text only when told: "7146e000" would be a number).
width=$((bits / 4))
"$objdump" -h "$debug_file" | awk '/^ *[0-9]+ / { print $1 + 1, $4 }' >"$work/section_vma"
"$objdump" -t "$debug_file" |
  awk -v width="$width" 'NR == FNR { vma[$1] = $2; next }
    /^\[ *[0-9]+\]\(sec +[0-9]+\)/ {
      section = $0; sub(/^[^(]*\(sec +/, "", section); sub(/\).*/, "", section)
      value = $0; sub(/.*0x/, "", value); sub(/ .*/, "", value)
      if (section in vma) print section, vma[section], value, $NF
    }' "$work/section_vma" - |
  while read -r section base value name; do
    printf "%0${width}x %s %s\n" $((16#$base + 16#$value)) "$section" "$name"
  done | sort >"$work/symbols"
text_section=$(awk '$2 == ".text" { print $1 + 1 }' "$work/sections")
awk -v s="$text_section" '$2 == s' "$work/symbols" >"$work/functions"
"$objdump" -d --no-show-raw-insn "$dll" |
  awk -v width="$width" '/^ *[0-9a-f]+:\t/ {
      address = $1; sub(/:$/, "", address)
      while (length(address) < width) address = "0" address
      line = $0; sub(/^[^\t]*\t/, "", line); print address "\t" line }' >"$work/code"

# The rets of a function and of every function it tail-calls (a jump to another function's first
# instruction, which the compiler makes only where both pop the same bytes), as "ret" or
# "ret $0x..", sorted and unique on one line; "none" when there is none.
rets_of() {
  local todo=("$1") seen=" " address end found=""
  while [ ${#todo[@]} -gt 0 ] && [ ${#seen} -lt 400 ]; do
    address=${todo[0]}
    todo=("${todo[@]:1}")
    case $seen in *" $address "*) continue ;; esac
    seen="$seen$address "
    end=$(awk -v a="$address" '"" $1 > "" a { print $1; exit }' "$work/functions")
    while read -r kind what; do
      if [ "$kind" = ret ]; then
        found="$found${what}"$'\n'
      else
        while [ ${#what} -lt "$width" ]; do what=0$what; done
        [[ "$what" < "$address" || ! "$what" < "${end:-g}" ]] &&
          grep -q "^$what " "$work/functions" && todo+=("$what")
      fi
    done < <(awk -F'\t' -v a="$address" -v e="${end:-g}" '"" $1 >= "" a && "" $1 < "" e {
        if ($2 ~ /^(repz )?ret/) { r = $2; sub(/^repz /, "", r); gsub(/ +/, " ", r); print "ret", r }
        else if ($2 ~ /^jmp +(0x)?[0-9a-f]+( <.*)?$/) { split($2, w, / +/); sub(/^0x/, "", w[2]); print "jmp", w[2] }
      }' "$work/code")
  done
  found=$(printf '%s' "$found" | sed '/^$/d' | sort -u | tr '\n' ' ' | sed 's/ $//')
  echo "${found:-none}"
}

# check_rets <what> <function address> <bytes the function pops: 0 for __cdecl>
check_rets() {
  local want=ret rets
  [ "$3" -gt 0 ] && want=$(printf 'ret $0x%x' "$3")
  rets=$(rets_of "$2")
  if [ "$rets" = "$want" ]; then report ok "$1" "$rets"; else report FAIL "$1" "found: $rets; want: $want"; fi
}

# --- the exports: __cdecl, by undecorated name, ordinals 1 to 7 --------------------------------
exports="CreateComponent SetDLLRegistry MirelDllFreeMap MirelDllCanUnloadNow SetFactoryHandle MirelSetDllSafe GetComponentIDs"
awk '/^Export Address Table -- Ordinal Base/ { t = 1; next } t && /^\t\[/ { gsub(/[][]/, " "); print $3, $4; next } t { t = 0 }
     /^\[Ordinal\/Name Pointer\] Table/ { n = 1; next } n && /^\t\[/ { gsub(/[][]/, " "); print "name", $1, $2; next } n { n = 0 }' \
  "$work/headers" >"$work/exports"
ordinal=1
found_names=$(awk '$1 == "name" { printf "%s@%d ", $3, $2 + 1 }' "$work/exports")
want_names=$(for name in $exports; do printf '%s@%d ' "$name" "$ordinal"; ordinal=$((ordinal + 1)); done)
if [ "$(tr ' ' '\n' <<<"$found_names" | sort)" = "$(tr ' ' '\n' <<<"$want_names" | sort)" ]; then
  report ok "exports by undecorated name, ordinals 1 to 7" "$want_names"
else
  report FAIL "exports by undecorated name, ordinals 1 to 7" "found: $found_names"
fi
if [ "$bits" = 32 ]; then
  ordinal=1
  for name in $exports; do
    rva=$(awk -v o="$ordinal" '$1 == o { print $2 }' "$work/exports")
    check_rets "export $ordinal $name: __cdecl, the caller cleans up" \
      "$(printf "%0${width}x" $((image_base + 16#${rva:-0})))" 0
    ordinal=$((ordinal + 1))
  done
fi

# --- the slots the module implements: __thiscall, the callee pops its arguments -----------------
# check_table <class> <label> "<slot>:<method>:<argument bytes> ..." — the slots must follow one
# another in the class's vtable group, in this order, each from the slot number given.
check_table() {
  local class=$1 label=$2 slots=$3 vtable words first_slot
  vtable=$(awk -v n="__ZTV${#class}${class}" '$3 == n { print $1 }' "$work/symbols")
  if [ -z "$vtable" ]; then report FAIL "$label" "no vtable symbol for $class"; return; fi
  # Up to 64 words of the group, each as the name of the function it points at (or "-").
  "$objdump" -s -j .rdata --start-address=0x"$vtable" --stop-address=$((16#$vtable + 256)) "$dll" |
    awk '/^ [0-9a-f]+ / { for (i = 2; i <= 5; i++) if (length($i) == 8 && $i ~ /^[0-9a-f]+$/)
           print substr($i, 7, 2) substr($i, 5, 2) substr($i, 3, 2) substr($i, 1, 2) }' >"$work/words"
  words=$(awk -v width="$width" 'NR == FNR { name[$1] = $3; next }
             { w = $1; while (length(w) < width) w = "0" w; print (w in name ? name[w] : "-") "@" w }' \
           "$work/functions" "$work/words")
  first_slot=${slots%%:*}
  set -- $slots
  local index=0 start="" word
  # The group's entry for the first slot: the last word whose function has that method's name, as
  # a base that is not the first has its own table behind the class's (of thunks adjusting this).
  for word in $words; do
    if [[ "$word" == *"$(method_mangle "$(cut -d: -f2 <<<"$1")")"* ]]; then start=$index; fi
    index=$((index + 1))
  done
  if [ -z "$start" ]; then report FAIL "$label" "no slot $first_slot in ${class}'s vtable"; return; fi
  local -a table=($words)
  local entry slot method bytes function
  for entry in $slots; do
    IFS=: read -r slot method bytes <<<"$entry"
    function=${table[$((start + slot - first_slot))]:-"-@0"}
    if [[ "$function" != *"$(method_mangle "$method")"* ]]; then
      report FAIL "$label slot $slot $method" "the slot holds ${function%@*}"
      continue
    fi
    check_rets "$label slot $slot $method: __thiscall, $bytes argument bytes" "${function#*@}" "$bytes"
  done
}
method_mangle() { printf '%d%sE' "${#1}" "$1"; }

if [ "$bits" = 32 ]; then
  check_table CTimer "CTimer" "0:GetComponentID:0 1:GetComponentVersion:0 2:Release:4 3:GetAutoFree:0
    4:SetAutoFree:4 5:ModifyTimer:8 6:StartTimer:12 7:StopTimer:4 8:StopAllTimers:0 9:Shutdown:0"
  check_table CTimerManager "CTimerManager as IMessageSink" "0:GetSinkVersion:0 1:OnWindowMessage:20"
else
  report ok "calling conventions" "x64 has one; the 32-bit build checks them"
fi

# --- imports, ASLR and DEP --------------------------------------------------------------------
imports=$(awk '$1 == "DLL" && $2 == "Name:" { print $3 }' "$work/headers" | sort -f | tr '\n' ' ')
extra=$(tr ' ' '\n' <<<"$imports" | grep -vixE 'KERNEL32\.dll|USER32\.dll|msvcrt\.dll|' | tr '\n' ' ')
if [ -z "$extra" ]; then report ok "imports only KERNEL32, USER32, msvcrt" "$imports"
else report FAIL "imports only KERNEL32, USER32, msvcrt" "also: $extra"; fi
characteristics=$(awk '$1 == "DllCharacteristics" { print $2 }' "$work/headers")
if (( (16#${characteristics:-0} & 0x140) == 0x140 )); then
  report ok "DYNAMIC_BASE and NX_COMPAT (ASLR, DEP)" "DllCharacteristics 0x$characteristics"
else
  report FAIL "DYNAMIC_BASE and NX_COMPAT (ASLR, DEP)" "DllCharacteristics 0x$characteristics"
fi

# --- ComponentConfig's layout, as each compiler lays it out -------------------------------------
# The header's static_asserts fix its size and every offset; every compiler a module or host of
# either width may be built with must accept them.
layout_failed=""
compilers=""
for triple in i686-pc-windows-msvc x86_64-pc-windows-msvc; do
  compilers="$compilers clang:$triple"
  echo '#include "mirel/component_config.h"' |
    "$clang" --target=$triple -ffreestanding -std=c++17 -fsyntax-only -I"$source/include" -x c++ - ||
    layout_failed="$layout_failed $triple"
done
for prefix in $gnu_prefixes; do
  compilers="$compilers $prefix-g++"
  echo '#include "mirel/component_config.h"' |
    "$prefix-g++" -std=c++17 -fsyntax-only -I"$source/include" -x c++ - ||
    layout_failed="$layout_failed $prefix"
done
asserts=$(grep -c 'static_assert' "$source/include/mirel/component_config.h")
if [ -z "$layout_failed" ] && [ "$asserts" -ge 8 ]; then
  report ok "ComponentConfig: size and 7 offsets fixed, 32 and 64 bit" "$asserts static_asserts;$compilers"
else
  report FAIL "ComponentConfig: size and 7 offsets fixed, 32 and 64 bit" "$asserts asserts; refused by:${layout_failed:- none}"
fi

[ "$failures" -eq 0 ] && echo "all static checks of $(basename "$dll") passed" && exit 0
echo "$failures static check(s) of $(basename "$dll") failed"
exit 1
