#!/bin/sh
# Stands in for systemctl where systemd does not run: notes every call and
# keeps each unit's state in files under $ZORVANE_SYSTEMD_ROOT/fake.
# A unit is loaded when its file is in $ZORVANE_SYSTEMD_ROOT/etc/systemd/system.
state="$ZORVANE_SYSTEMD_ROOT/fake"
mkdir -p "$state"
echo "$*" >>"$state/calls"
loaded() { [ -f "$ZORVANE_SYSTEMD_ROOT/etc/systemd/system/$1" ]; }
active() { [ "$(cat "$state/$1.state" 2>/dev/null)" = active ]; }
case "$1" in
daemon-reload) ;;
enable | disable) loaded "$2" || exit 1 ;;
start)
  loaded "$2" || exit 5
  [ -f "$state/fail-start" ] && exit 1
  echo active >"$state/$2.state"
  ;;
stop) echo inactive >"$state/$2.state" ;;
is-active) active "$3" ;; # is-active --quiet UNIT
show)                     # show --property=... UNIT
  if loaded "$3"; then echo LoadState=loaded; else echo LoadState=not-found; fi
  if active "$3"; then echo ActiveState=active; else echo ActiveState=inactive; fi
  echo "ExecMainStatus=$(cat "$state/$3.status" 2>/dev/null || echo 0)"
  ;;
*) exit 1 ;;
esac
