#!/usr/bin/env bash
# Runs a Windows program that shows windows under Wine on a virtual X
# display (xvfb-run), in a Wine prefix of its own prepared for pixel-stable
# dialogs: Wine draws its own frames (no window manager to wait for) and the
# fonts Wine ships are in the prefix's font folder. Without xvfb-run the
# program runs as is (its window tests then skip).
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${ZORVANE_GUI_WINEPREFIX:-${TMPDIR:-/tmp}/zorvane-wine-gui-$(id -u)}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
loader=/usr/lib/wine/wine64
[[ -x $loader ]] || loader=$(command -v wine64 || command -v wine)

if [[ ! -f $WINEPREFIX/.zorvane-gui-ready ]]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [[ ! -f $WINEPREFIX/.zorvane-gui-ready ]]; then
      "$loader" wineboot --init >/dev/null 2>&1 || true
      "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
      mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
      cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
      wineserver -w || true
      touch "$WINEPREFIX/.zorvane-gui-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
if command -v xvfb-run >/dev/null; then
  # Wine's desktop process belongs to the display it started on: end the
  # prefix's wineserver with the display, so the next run starts afresh.
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c \
    '"$0" "$@"; rc=$?; wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; exit $rc' "$loader" "$@"
fi
exec "$loader" "$@"
