#!/bin/sh
# Runs a Windows program under Wine for ctest: a private prefix per build, no debug chatter,
# and no Mono or Gecko prompts. The loader is chosen by the program's machine type.
set -e
: "${WINEPREFIX:=${MIREL_WINEPREFIX:-$HOME/.mirel-wine}}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
case "$(od -An -tx1 -j"$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')" -N6 "$1" | tr -d ' ')" in
  50450000648*) export WINELOADER=/usr/lib/wine/wine64; exec /usr/lib/wine/wine64 "$@" ;;
  *) export WINEARCH=win32; exec wine "$@" ;;
esac
