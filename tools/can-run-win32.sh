#!/bin/sh
# Succeeds when this machine can run 32-bit x86 programs, which 32-bit Wine needs.
[ -x /usr/lib/wine/wine ] || exit 1
/usr/lib/wine/wine --version >/dev/null 2>&1
