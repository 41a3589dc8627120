#!/usr/bin/env bash
# Runs a Windows program of the build under Wine:  scripts/wine-run.sh PROGRAM.exe [ARGUMENTS...]
# The Wine prefix is WINEPREFIX (CTest sets <build-win>/wine), made quietly on first use; its
# wineserver stays up for a while after the last program, so that the next one starts fast.
set -euo pipefail
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/vorkel-wine-$(id -u)}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer dialogs while the prefix is made: nothing here needs them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEARCH=win64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot --init >/dev/null 2>&1 || true
      wineserver --wait
    fi
  ) 9>"$WINEPREFIX/.init.lock"
fi
exec wine "$@"
