#!/usr/bin/env bash
# The README's main command as a test: scripts/demo.sh runs twice in a row
# with the same outcome, and leaves no namespace, rule, user or process.
#   demo_test.sh REPO BUILD_DIR
set -uo pipefail
repo=$1
export ZORVANE_DEMO_BIN=$2

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: the demo needs root"
  exit 77
fi
probe=zdemo-probe-$$
if ! ip netns add "$probe" 2>/dev/null; then
  echo "skipped: network namespaces cannot be made here"
  exit 77
fi
ip netns del "$probe"

# What the demo must leave as it found it.
state() {
  echo "namespaces: $(ip netns list | grep -c zdemo)"
  echo "rules: $(iptables-save 2>/dev/null | grep -c ZORVANE)"
  echo "users: $(getent passwd zdemo-child zdemo-adult | wc -l)"
  echo "processes: $(pgrep -c -f 'zorvane_(service|filter|cloud|notifier|test_site)|openssl s_server')"
  echo "sockets: $(find /tmp -maxdepth 3 -path '/tmp/zorvane-demo-*/run/*' 2>/dev/null | wc -l)"
}
outcome() {  # the report's verdict lines, without details that differ per run
  grep -E '^(PASS|FAIL)  |^RESULT' "$1"
}

# Outputs in a folder of our own: a name in /tmp another user could take first.
runs=$(mktemp -d)
trap 'rm -rf "$runs"' EXIT
before=$(state)
failed=0
for run in 1 2; do
  "$repo/scripts/demo.sh" --no-build >"$runs/run-$run.txt" 2>&1
  status=$?
  echo "--- run $run: exit $status"
  cat "$runs/run-$run.txt"
  ((status == 0)) || failed=1
done
after=$(state)

if [[ $(outcome "$runs/run-1.txt") != "$(outcome "$runs/run-2.txt")" ]]; then
  echo "FAIL: the two runs differ"
  failed=1
fi
if [[ $before != "$after" ]]; then
  echo "FAIL: left behind:"
  diff <(echo "$before") <(echo "$after")
  failed=1
fi
exit $failed
