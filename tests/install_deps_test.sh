#!/usr/bin/env bash
# The set-up script against a stand-in apt whose update always fails, as on a day when a mirror is
# half-way through a sync: it must go on and install, ask for 32-bit Wine only where the probe says
# 32-bit code runs, and name a package that cannot be had. Prints "N passed, N failed".
set -u
script="$(cd "$(dirname "$0")/.." && pwd)/tools/install-deps.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"

# Stand-ins: nothing is installed, we are root, apt logs what it is asked and refuses update always
# and any package named in $UNAVAILABLE.
cat >"$work/bin/dpkg-query" <<'SH'
#!/bin/sh
exit 1
SH
cat >"$work/bin/id" <<'SH'
#!/bin/sh
echo 0
SH
cat >"$work/bin/dpkg" <<'SH'
#!/bin/sh
echo "dpkg $*" >>"$LOG"
SH
cat >"$work/bin/apt-get" <<'SH'
#!/bin/sh
echo "apt-get $*" >>"$LOG"
case " $* " in
  *" update "*)
    echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size" >&2
    exit 100 ;;
esac
for pkg in "$@"; do
  if [ "$pkg" = "$UNAVAILABLE" ]; then
    echo " $pkg : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages." >&2
    exit 100
  fi
done
SH
chmod +x "$work/bin/"*

passed=0 failed=0
# case: probe status | unavailable package | expected exit | pattern the log must match |
#       pattern it must not match | pattern stderr must match
cases=(
  "1||0|install .*wine64|wine32:i386|"
  "0||0|install .*wine32:i386|^\$|"
  "0|wine32:i386|1|add-architecture i386|^\$|cannot install wine32:i386: E: Unable to correct problems.*(wine32:i386 : Depends: libwine:i386"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r probe unavailable want_status want_log refuse_log want_err <<<"$entry"
  printf '#!/bin/sh\necho "probe says %s"\nexit %s\n' "$probe" "$probe" >"$work/probe"
  chmod +x "$work/probe"
  : >"$work/log"
  PATH="$work/bin:$PATH" LOG="$work/log" UNAVAILABLE="$unavailable" MIREL_WIN32_PROBE="$work/probe" \
    MIREL_APT_UPDATE_PAUSE=0 bash "$script" all >"$work/out" 2>"$work/err"
  status=$?
  updates=$(grep -c 'apt-get update' "$work/log")
  problem=""
  [ "$status" = "$want_status" ] || problem="exit $status, not $want_status"
  [ "$updates" = 3 ] || problem="$problem; apt-get update tried $updates times, not 3"
  grep -q -- "$want_log" "$work/log" || problem="$problem; no '$want_log' in apt's log"
  if grep -q -- "$refuse_log" "$work/log"; then problem="$problem; '$refuse_log' in apt's log"; fi
  if [ -n "$want_err" ] && ! grep -q -- "$want_err" "$work/err"; then
    problem="$problem; stderr lacks '$want_err': $(cat "$work/err")"
  fi
  if [ -z "$problem" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL (probe $probe, unavailable '${unavailable}'): $problem"
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
