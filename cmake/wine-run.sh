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
server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    "$loader" wineboot --init >/dev/null 2>&1 </dev/null || true
    "$server" -w || true
  fi
  # Wine's own background processes (service manager, RPC) start with the
  # first program of a wineserver session and inherit its output; started
  # here, detached from the caller's pipes, they never hold a test's output
  # open after the test ended. The server stays a while between programs.
  if ! "$server" -k0 2>/dev/null; then
    "$server" -p30 </dev/null >/dev/null 2>&1 || true
    "$loader" wineboot >/dev/null 2>&1 </dev/null || true
  fi
) 9>"$WINEPREFIX.lock"
exec "$loader" "$@"
