#!/usr/bin/env bash
# Runs Windows programs under Wine for ctest, in the Wine session that the tests share.
#   wine-run.sh <program> [arguments]   runs a program; the loader follows its machine type
#   wine-run.sh --start <win32|win64> [holder.exe]
#                                        makes the prefix if needed, starts its server and, with
#                                        the holder, the session's desktop
#   wine-run.sh --stop                   stops the prefix's server and every program it runs
#   wine-run.sh --arch                   prints win32 or win64 for the prefix, nothing for none
# The prefix is $WINEPREFIX (each test preset gives its build one of its own).
#
# Why a session: Debian's wineserver ends as soon as the last program of its prefix has ended
# (taking the prefix's service processes with it over the next second), and the next program
# starts a new one, which starts those services again. ctest's jobs start and end programs all
# the time, so the prefix would be torn down and set up again between tests, and a program
# running while its server stops is ended by Wine with status 1 or even 0. The tests' fixture
# starts one server that stays for the whole run, and stops it at the end; a server left by an
# interrupted run ends by itself a minute after its last program.
#
# Why a desktop holder: Wine closes the desktop a second after the last program with a window has
# ended, and the next such program starts the desktop's process again. A program that arrives while
# the old desktop shuts down waits ten seconds and then has no window (seen under load with a new
# 32-bit prefix). The holder keeps one hidden window for the whole session, so the desktop starts
# once, before the tests, and never closes under them.
#
# Why the runner judges the end: a program that Wine ended before it ran has printed nothing, and
# its status may be the very one a test expects; a program whose server stopped under it ends
# with status 1 or even 0, its report cut short. Every program the tests run prints something, so
# a run without any output, or one during which the server went away, is reported as Wine's
# failure, with status 125 and what the runner saw, never passed on as the program's answer. The
# output goes to files first, not to ctest's pipes, which a server started by the program would
# otherwise hold open.
set -u

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
: "${WINEPREFIX:=${MIREL_WINEPREFIX:-$HOME/.mirel-wine}}"
export WINEPREFIX
readonly server_persistence=60
# Longer than any test run; only a holder whose session was never stopped lives that long.
readonly holder_lifetime=3600
readonly holder_wait=300

fail() {
  echo "wine-run.sh: $*" >&2
  exit 125
}

# The server binary Debian's wrapper would pick, without the wrapper's "-p0".
server_binary() {
  if [ -x /usr/lib/wine/wineserver64 ]; then
    echo /usr/lib/wine/wineserver64
  else
    echo /usr/lib/wine/wineserver32
  fi
}

# The process ID of the server of $WINEPREFIX, if one runs. A server works in a folder named for
# the device and inode of its prefix, and steps into the prefix itself for a moment when it saves
# the registry; /proc is read directly, as a fresh machine has no pgrep.
server_pid() {
  local id prefix pid comm cwd found=""
  id=$(stat -c '%d %i' "$WINEPREFIX" 2>/dev/null) || return 0
  # shellcheck disable=SC2086
  id=$(printf 'server-%x-%x' $id)
  prefix=$(cd "$WINEPREFIX" && pwd -P)
  for pid in /proc/[0-9]*; do
    { read -r comm <"$pid/comm"; } 2>/dev/null || continue
    case $comm in wineserver*) ;; *) continue ;; esac
    cwd=$(readlink "$pid/cwd" 2>/dev/null)
    if [ "$(basename "$cwd")" = "$id" ] || [ "$cwd" = "$prefix" ]; then
      found="${found:+$found and }${pid#/proc/}"
    fi
  done
  echo "$found"
}

# win32 or win64 for a Windows program or library, from its PE header's machine type; empty when
# the file is none. The header's offset is at 0x3c; "PE\0\0" and the machine type follow there.
pe_arch() {
  local offset signature
  offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  signature=$(od -An -tx1 -j"${offset:-0}" -N6 "$1" 2>/dev/null | tr -d ' ')
  case $signature in
    504500006486) echo win64 ;;
    504500004c01) echo win32 ;;
  esac
}

# win32 or win64 for an existing prefix, empty when there is none yet. Wine records the
# architecture at the top of the prefix's registry files, but writes them only when the server
# gets round to it; until then the system folder's own kernel32.dll tells. Which folders exist
# does not: a 64-bit prefix made while 32-bit Wine is installed but cannot run has no syswow64.
prefix_arch() {
  local recorded
  recorded=$(sed -n 's/^#arch=\(win32\|win64\)$/\1/p' "$WINEPREFIX/system.reg" 2>/dev/null | head -n 1)
  if [ -n "$recorded" ]; then
    echo "$recorded"
  else
    pe_arch "$WINEPREFIX/drive_c/windows/system32/kernel32.dll"
  fi
}

loader_for() {
  case $1 in
    win64) echo /usr/lib/wine/wine64 ;;
    *) echo /usr/lib/wine/wine ;;
  esac
}

start_session() {
  local arch=${1:-}
  case $arch in win32 | win64) ;; *) fail "--start needs win32 or win64" ;; esac
  local loader
  loader=$(loader_for "$arch")
  [ -x "$loader" ] || fail "$loader is missing: $arch Wine is not installed"
  local existing
  existing=$(prefix_arch)
  if [ -n "$existing" ] && [ "$existing" != "$arch" ]; then
    fail "$WINEPREFIX is a $existing prefix, not $arch; remove it and run again"
  fi
  mkdir -p "$WINEPREFIX"
  if [ -z "$(server_pid)" ]; then
    # Detached from ctest's output, which it would otherwise hold until it ends. A server that
    # finds no prefix makes one of the architecture WINEARCH names, 64-bit without it.
    WINEARCH=$arch setsid "$(server_binary)" -p"$server_persistence" </dev/null >/dev/null 2>&1 ||
      fail "the Wine server for $WINEPREFIX did not start"
  fi
  # Creates or updates the prefix and starts its service processes, once, before any test runs.
  WINEARCH=$arch WINELOADER=$loader "$loader" wineboot -i </dev/null >/dev/null 2>&1 ||
    fail "wineboot could not prepare $WINEPREFIX"
  [ "$(prefix_arch)" = "$arch" ] || fail "wineboot left no $arch prefix in $WINEPREFIX"
  [ -n "$(server_pid)" ] || fail "the Wine server for $WINEPREFIX is gone after wineboot"
  if [ -n "${2:-}" ]; then
    start_desktop_holder "$loader" "$2"
  fi
  echo "Wine session ready: $arch prefix $WINEPREFIX, server $(server_pid)"
}

# Starts the holder detached (the session's stop ends it with the server) and waits until it has
# its window, so that the desktop is up before the first test.
start_desktop_holder() {
  local loader=$1 holder=$2
  [ -f "$holder" ] || fail "no desktop holder at $holder"
  local log="$WINEPREFIX/desktop-holder.log"
  WINELOADER=$loader setsid "$loader" "$holder" "$holder_lifetime" </dev/null >"$log" 2>&1 &
  local pid=$! waited=0
  while ! grep -q "desktop ready" "$log" 2>/dev/null; do
    if ! kill -0 "$pid" 2>/dev/null; then
      fail "the desktop holder ended before it had a window: $(tr '\n' ' ' <"$log")"
    fi
    [ "$waited" -lt $((holder_wait * 5)) ] ||
      fail "the desktop holder had no window after $holder_wait s: $(tr '\n' ' ' <"$log")"
    sleep 0.2
    waited=$((waited + 1))
  done
}

stop_session() {
  [ -n "$(server_pid)" ] || return 0
  "$(server_binary)" -k >/dev/null 2>&1
  "$(server_binary)" -w >/dev/null 2>&1
  return 0
}

run_program() {
  local program=$1
  [ -f "$program" ] || fail "no such program: $program"
  local arch
  arch=$(pe_arch "$program")
  [ -n "$arch" ] || fail "$program is not a Windows x86 program"
  local loader
  loader=$(loader_for "$arch")
  [ -x "$loader" ] || fail "$loader is missing: $arch Wine is not installed"
  export WINELOADER=$loader
  if [ "$arch" = win32 ]; then
    export WINEARCH=win32
  fi

  local outputs server_before server_after status
  outputs=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX") || fail "no temporary folder"
  server_before=$(server_pid)
  "$loader" "$@" >"$outputs/stdout" 2>"$outputs/stderr" &
  local child=$!
  trap 'kill -TERM "$child" 2>/dev/null' TERM INT HUP
  wait "$child"
  status=$?
  # A signal interrupts the first wait; the second one collects the program's own end.
  if kill -0 "$child" 2>/dev/null; then
    wait "$child"
    status=$?
  fi
  trap - TERM INT HUP
  server_after=$(server_pid)
  # A look at /proc can miss a server that is busy for a moment; one that stopped stays gone.
  if [ -n "$server_before" ] && [ "$server_before" != "$server_after" ]; then
    sleep 0.5
    server_after=$(server_pid)
  fi
  cat "$outputs/stdout"
  cat "$outputs/stderr" >&2
  local printed=yes
  [ -s "$outputs/stdout" ] || [ -s "$outputs/stderr" ] || printed=no
  rm -rf "$outputs"

  local name
  name=$(basename "$program")
  # A server that stops ends its programs, with status 1 or even 0, wherever they are: a test
  # program cut short that way may have printed half its report and look as if it passed.
  if [ -n "$server_before" ] && [ "$server_before" != "$server_after" ]; then
    fail "$name ended with status $status while the Wine server of $WINEPREFIX went away" \
      "(server $server_before when it started, ${server_after:-none} when it ended): Wine ends" \
      "a server's programs as it stops, so neither its status nor its output is its answer"
  fi
  [ "$printed" = yes ] && return "$status"
  if [ -z "$server_before" ]; then
    fail "$name ended with status $status without printing anything, so it never gave its" \
      "answer: no Wine server ran for $WINEPREFIX when it started (ctest's fixture keeps one" \
      "for the tests), and Wine's start-up ended it"
  fi
  fail "$name ended with status $status without printing anything, so it never gave its" \
    "answer: Wine ended it, while server $server_before of $WINEPREFIX ran throughout"
}

case ${1:-} in
  --start) start_session "${2:-}" "${3:-}" ;;
  --stop) stop_session ;;
  --arch) prefix_arch ;;
  "") fail "usage: wine-run.sh <program> [arguments] | --start <win32|win64> [holder] | --stop" ;;
  *) run_program "$@" ;;
esac
