#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix of its own, so tests never
# touch ~/.wine. The prefix is created once (about 5 s) under a lock, since
# ctest may start several programs at the same time.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-${ZORVANE_WINEPREFIX:-${TMPDIR:-/tmp}/zorvane-wine-$(id -u)}}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
loader=/usr/lib/wine/wine64
[[ -x $loader ]] || loader=$(command -v wine64 || command -v wine)

if [[ ! -f $WINEPREFIX/system.reg ]]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
      "$loader" wineboot --init >/dev/null 2>&1 || true
      wineserver -w || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec "$loader" "$@"
