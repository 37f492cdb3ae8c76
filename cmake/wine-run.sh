#!/usr/bin/env bash
# Runs a Windows program under Wine in a throwaway prefix inside the build tree.
# Usage: wine-run.sh <program.exe> [args...]
#        wine-run.sh --server-start | --server-stop   (keep one wineserver for a test run)
# ZAVRO_WINEPREFIX overrides the prefix; by default it is <build>/wineprefix, the
# build tree being the first ancestor of the program that holds a CMakeCache.txt.
set -u
wine=${ZAVRO_WINE:-/usr/lib/wine/wine64}
wineserver=${ZAVRO_WINESERVER:-/usr/lib/wine/wineserver}

build_tree() { # <path>
  local d
  d=$(cd "$(dirname "$1")" 2>/dev/null && pwd) || d=$PWD
  while [ "$d" != / ]; do
    [ -f "$d/CMakeCache.txt" ] && { printf '%s\n' "$d"; return; }
    d=$(dirname "$d")
  done
  printf '%s\n' "$PWD"
}

case ${1:-} in
  --server-start | --server-stop) where=$PWD/. ;;
  '') echo "usage: $0 <program> [args...]" >&2; exit 2 ;;
  *) where=$1 ;;
esac
if [ -z "${ZAVRO_WINEPREFIX:-}" ]; then
  ZAVRO_WINEPREFIX=$(build_tree "$where")/wineprefix
fi
export WINEPREFIX=$ZAVRO_WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# No window or desktop integration for a headless run.
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"

case $1 in
  --server-start)
    # The first run builds the prefix; later programs reuse the persistent server.
    # Its own stdio goes nowhere, or a caller waiting for our output would wait for it.
    "$wineserver" -p </dev/null >/dev/null 2>&1 || exit 1
    "$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1
    exit 0
    ;;
  --server-stop)
    "$wineserver" -k 2>/dev/null
    "$wineserver" -w 2>/dev/null
    exit 0
    ;;
esac
exec "$wine" "$@"
