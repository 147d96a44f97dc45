#!/usr/bin/env bash
# The Debian package on this machine: builds it, installs it, checks the
# files, folders and units, signs in against the stand-in cloud with the
# installed programs, removes it (settings kept, nothing running, no rule or
# socket left), then purges it (nothing kept).
#   deb_test.sh REPO BUILD_DIR
set -uo pipefail
repo=$1
build=$2

if [[ $(id -u) -ne 0 ]]; then echo "skipped: installing a package needs root"; exit 77; fi
if ! command -v dpkg-deb >/dev/null; then echo "skipped: not a Debian system"; exit 77; fi
if dpkg -s zorvane >/dev/null 2>&1 || [[ -e /var/lib/zorvane || -e /opt/zorvane ]]; then
  echo "skipped: Zorvane is installed on this machine; the test would replace it"
  exit 77
fi

work=$(mktemp -d)
cloud_pid=""
planted=""
failures=0
check() {  # check WHAT COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
cleanup() {
  [[ -n $cloud_pid ]] && kill "$cloud_pid" 2>/dev/null
  dpkg --purge zorvane >/dev/null 2>&1
  pkill -KILL -x zorvane_service; pkill -KILL -x zorvane_filter; pkill -KILL -x zorv_man
  [[ -n $planted ]] && rm -rf /var/tmp/zorvane
  rm -rf "$work"
}
trap cleanup EXIT

# A user got there first: the temporary folder is theirs, with a link to a
# file of root's where the service would write.
if [[ ! -e /var/tmp/zorvane ]] && runuser -u nobody -- mkdir /var/tmp/zorvane 2>/dev/null; then
  runuser -u nobody -- ln -s /etc/shadow /var/tmp/zorvane/zorvane_service.log
  planted=yes
fi

package=$("$repo/scripts/build-deb.sh" "$build" "$work") || { echo "FAIL: package not built"; exit 1; }
echo "package: $package"
dpkg -i "$package" >"$work/install.log" 2>&1 || { cat "$work/install.log"; echo "FAIL: install"; exit 1; }

check "programs installed" test -x /opt/zorvane/bin/zorvane_service -a -x /opt/zorvane/bin/zorvane_filter \
  -a -x /opt/zorvane/bin/zorv_man -a -x /usr/bin/zorvanectl -a -x /usr/bin/zorvane_notifier
for folder in /var/lib/zorvane /var/tmp/zorvane; do
  check "$folder root's, 0755" test "$(stat -c '%U %a' "$folder")" = "root 755"
done
if [[ -n $planted ]]; then
  check "the user's folder and link are gone" test ! -e /var/tmp/zorvane/zorvane_service.log \
    -a ! -L /var/tmp/zorvane/zorvane_service.log
fi
units=(/lib/systemd/system/zorvane.service /lib/systemd/system/zorvane_filter_service.service
  /lib/systemd/system/zorvman.service)
if command -v systemd-analyze >/dev/null; then
  check "units verify" systemd-analyze verify "${units[@]}"
else
  echo "FAIL: systemd-analyze is missing: the units cannot be verified"
  failures=$((failures + 1))
fi

# systemd does not run here: the programs are started by hand, as the
# package's message says, against the stand-in cloud named in the
# configuration file.
"$build/tools/cloud/zorvane_cloud" --state "$work/cloud" --http-port any --https-port any \
  --port-file "$work/cloud.ports" --log "$work/cloud.log" >"$work/cloud.out" 2>&1 &
cloud_pid=$!
for _ in $(seq 100); do [[ -s $work/cloud.ports ]] && break; sleep 0.1; done
port=$(awk '$1 == "https" {print $2}' "$work/cloud.ports")
certificate=$(awk '$1 == "certificate" {print $2}' "$work/cloud.ports")
cat >/var/lib/zorvane/zorvane_cloud.conf <<CONF
connection_url=https://127.0.0.1:$port/cgi-bin/connection
connection_url_fallback=https://127.0.0.1:$port/cgi-bin/connection
ca_file=$certificate
CONF
chmod 0644 /var/lib/zorvane/zorvane_cloud.conf
/opt/zorvane/bin/zorvane_filter >"$work/filter.out" 2>&1 &
for _ in $(seq 100); do [[ -S /run/zorvane/ZorvaneFilter ]] && break; sleep 0.1; done
/opt/zorvane/bin/zorvane_service >"$work/service.out" 2>&1 &
for _ in $(seq 100); do [[ -S /run/zorvane/zorvane_pipe ]] && break; sleep 0.1; done
sleep 1
check "sign-in with the installed zorvanectl" bash -c "echo parent123 | zorvanectl signin parent | grep -q 'Signed in as parent'"
check "the sign-in reached the stand-in cloud" grep -q "GET /cgi-bin/auth?user=parent" "$work/cloud.log"

dpkg --remove zorvane >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; echo "FAIL: remove"; failures=$((failures + 1)); }
check "no program left running" bash -c \
  '! pgrep -x zorvane_service && ! pgrep -x zorvane_filter && ! pgrep -x zorv_man'
check "no rule left" bash -c '! iptables-save | grep -q ZORVANE'
check "no socket left" test ! -e /run/zorvane
check "settings kept on remove" test -e /var/lib/zorvane/zorvane.cred
check "programs gone" test ! -e /opt/zorvane/bin/zorvane_service
dpkg --purge zorvane >"$work/purge.log" 2>&1
check "nothing kept on purge" test ! -e /var/lib/zorvane -a ! -e /var/tmp/zorvane -a ! -e /opt/zorvane
((failures == 0)) || { echo "service output:"; cat "$work/service.out"; }
exit $((failures > 0))
