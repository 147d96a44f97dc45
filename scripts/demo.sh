#!/usr/bin/env bash
# Runs the system on this machine, everything in a temporary folder: the
# stand-in cloud, the filter host and the filtering service. Then, as a parent
# would through the desktop program, signs the default account in, maps the
# user running this script to the first child profile, and shows what the
# service and the filter hold. Installs and builds what is missing first.
#
#   scripts/demo.sh            run and clean up
#   scripts/demo.sh --keep     leave the programs running (prints how to stop)
set -euo pipefail
cd "$(dirname "$0")/.."

keep=0
[[ ${1:-} == --keep ]] && keep=1

scripts/install-deps.sh >/dev/null
cmake --preset native >/dev/null
cmake --build --preset native --target zorvane_service zorvane_filter zorvane_cloud zorvanectl

bin=build/native
root=$(mktemp -d /tmp/zorvane-demo-XXXXXX)
export ZORVANE_DATA_DIR=$root/data ZORVANE_TEMP_DIR=$root/temp ZORVANE_RUN_DIR=$root/run
mkdir -p "$ZORVANE_RUN_DIR"
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
if ((keep)); then
  trap 'echo "demo failed; programs left running: ${pids[*]}"' ERR
else
  trap stop_all EXIT
fi

wait_for() {  # wait_for FILE WHAT
  for _ in $(seq 100); do [[ -e $1 ]] && return 0; sleep 0.1; done
  echo "demo: $2 did not come up; see $root" >&2
  exit 1
}

step() { printf '\n== %s\n' "$*"; }

step "stand-in cloud"
"$bin/tools/cloud/zorvane_cloud" --state "$root/cloud" --http-port any --https-port any \
  --port-file "$root/cloud.ports" --log "$root/cloud-requests.log" >"$root/cloud.out" 2>&1 &
pids+=($!)
wait_for "$root/cloud.ports" "the cloud"
https_port=$(awk '$1 == "https" {print $2}' "$root/cloud.ports")
export ZORVANE_CONNECTION_URL=https://127.0.0.1:$https_port/cgi-bin/connection
export ZORVANE_CONNECTION_URL_FALLBACK=$ZORVANE_CONNECTION_URL
# The stand-in's certificate is its own: the service trusts it as its CA.
ZORVANE_CA_FILE=$(awk '$1 == "certificate" {print $2}' "$root/cloud.ports")
export ZORVANE_CA_FILE
echo "connection info at $ZORVANE_CONNECTION_URL (CA file $ZORVANE_CA_FILE)"

step "filter host"
"$bin/module/linux/zorvane_filter" --log "$root/filter.log" &
pids+=($!)
wait_for "$ZORVANE_RUN_DIR/ZorvaneFilter" "the filter host"
echo "control device $ZORVANE_RUN_DIR/ZorvaneFilter"

step "filtering service"
"$bin/service/zorvane_service" &
pids+=($!)
wait_for "$ZORVANE_RUN_DIR/zorvane_pipe" "the service"
echo "desktop channel $ZORVANE_RUN_DIR/zorvane_pipe"

ctl=$bin/client/zorvanectl
step "sign in as parent (password parent123)"
echo parent123 | "$ctl" signin parent
"$ctl" auth-status

step "child profiles"
"$ctl" children

sid="S-1-22-1-$(id -u)"
first_child=$("$ctl" children | awk -F', ' 'NR == 1 {print $1}')
step "map $(id -un) ($sid) to child $first_child"
printf 'parent123\n' | "$ctl" set-map --user parent <(printf '%s, %s\n' "$sid" "$first_child")
"$ctl" map

step "what the filter holds"
grep -E "ExecSetServerAddressCmd|device id =|ExecSetCurrentUserCmd|enable filtering" \
  "$root/filter.log" | tail -n 6 || true

step "service log: $ZORVANE_TEMP_DIR/zorvane_service.log"
if ((keep)); then
  echo "programs running: ${pids[*]} (stop with: kill ${pids[*]})"
  echo "environment for zorvanectl: export ZORVANE_RUN_DIR=$ZORVANE_RUN_DIR"
  trap - ERR
else
  echo "stopping; the folder $root stays for a look"
fi
