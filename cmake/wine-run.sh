#!/bin/sh
# wine-run.sh PREFIX PROGRAM.exe [ARGUMENT...]: runs a Windows program under wine in the wine
# prefix PREFIX, which wine makes on first use (about 7 s). CMake's emulator for the Windows build.
set -eu
[ $# -ge 2 ] || { echo "usage: $0 PREFIX PROGRAM.exe [ARGUMENT...]" >&2; exit 2; }
# wine takes only an absolute prefix.
case $1 in
/*) WINEPREFIX=$1 ;;
*) WINEPREFIX=$PWD/$1 ;;
esac
shift
# No debug chatter, and no offer to install Mono or Gecko, which console programs do not need.
WINEDEBUG=-all
WINEDLLOVERRIDES='mscoree,mshtml='
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

# The first wine process of a session starts wine's own services, and they keep that process's
# standard streams open until the session ends: whoever reads them (ctest, a pipe) would wait
# seconds for nothing. So when no session runs, one is begun here with its streams elsewhere, and
# so is a new prefix made.
if [ ! -f "$WINEPREFIX/system.reg" ] || wineserver </dev/null >/dev/null 2>&1; then
    wine wineboot </dev/null >/dev/null 2>&1 || true
fi
exec wine "$@"
