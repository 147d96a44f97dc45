#!/usr/bin/env bash
# The whole system filtering on this machine, as a person would see it.
#
# In two network namespaces it makes and removes itself (the PC, and the web)
# it runs the stand-in cloud, the filter host with its packet path, the
# filtering service, a stand-in notifier for each of two fresh local users
# (one mapped to a child profile, one not), and a web site with an HTTPS and
# a plain-HTTP server. It signs the parent in and maps the child user with
# zorvanectl, then checks what each user gets, and prints a report.
#
#   scripts/demo.sh                run, report, clean up (exit 0: every step passed)
#   scripts/demo.sh --keep         leave everything running; prints how to look and stop
#   scripts/demo.sh --no-build     use the programs already built (the test does)
#
# ZORVANE_DEMO_BIN names another build folder than build/native.
# Needs root and network namespaces. Installs and builds what is missing first.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

keep=0
build=1
for arg in "$@"; do
  case $arg in
    --keep) keep=1 ;;
    --no-build) build=0 ;;
    -h | --help) sed -n '2,18p' "$0"; exit 0 ;;
    *) echo "demo: unknown option $arg (see --help)" >&2; exit 2 ;;
  esac
done
if [[ $(id -u) -ne 0 ]]; then
  echo "demo: needs root (it makes network namespaces, rules and local users)" >&2
  exit 2
fi

if ((build)); then
  scripts/install-deps.sh >/dev/null || exit 1
  cmake --preset native >/dev/null || exit 1
  cmake --build --preset native --target zorvane_service zorvane_filter zorvane_cloud \
    zorvanectl zorvane_notifier zorvane_test_site >/dev/null || exit 1
fi
bin=${ZORVANE_DEMO_BIN:-$repo/build/native}
for program in service/zorvane_service module/linux/zorvane_filter tools/cloud/zorvane_cloud \
  client/zorvanectl tools/notifier/zorvane_notifier tests/hostile/zorvane_test_site; do
  [[ -x $bin/$program ]] || { echo "demo: $bin/$program is not built" >&2; exit 1; }
done

tag=$$
pc=zdemo-pc-$tag
web=zdemo-web-$tag
child_user=zdemo-child
adult_user=zdemo-adult
site=10.78.0.2
root=$(mktemp -d /tmp/zorvane-demo-XXXXXX)
chmod 755 "$root"
report=$root/report.txt
export ZORVANE_DATA_DIR=$root/data ZORVANE_TEMP_DIR=$root/temp ZORVANE_RUN_DIR=$root/run
mkdir -p "$ZORVANE_RUN_DIR" && chmod 755 "$ZORVANE_RUN_DIR"
pids=()
made_users=()

in_pc() { ip netns exec "$pc" "$@"; }
as_user() {  # as_user NAME COMMAND...: in the PC's namespace, as that user
  local user=$1; shift
  in_pc setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" --clear-groups \
    env HOME="$root/home-$user" ZORVANE_RUN_DIR="$ZORVANE_RUN_DIR" "$@"
}

cleanup() {
  trap - EXIT INT TERM
  # The filter host first, with SIGTERM: it takes its rules with it.
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for _ in $(seq 50); do
    alive=0
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    ((alive)) || break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  ip netns pids "$pc" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
  ip netns pids "$web" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
  ip netns del "$pc" 2>/dev/null
  ip netns del "$web" 2>/dev/null
  for user in "${made_users[@]}"; do
    pkill -KILL -u "$user" 2>/dev/null
    userdel "$user" 2>/dev/null
  done
  rm -rf "$ZORVANE_RUN_DIR"
}
if ((keep)); then
  trap 'echo; echo "demo interrupted"; cleanup; exit 130' INT TERM
else
  trap cleanup EXIT
  trap 'echo; echo "demo interrupted"; exit 130' INT TERM
fi

fail_setup() {
  echo "demo: $* (logs in $root)" >&2
  ((keep)) && cleanup
  exit 1
}
wait_for() {  # wait_for WHAT COMMAND...
  local what=$1; shift
  for _ in $(seq 100); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  fail_setup "$what did not come up"
}
started() { pids+=("$!"); }

echo "== setting up in $root"
for user in "$child_user" "$adult_user"; do
  if id "$user" >/dev/null 2>&1; then
    fail_setup "a local user $user exists already (left by an earlier run?); remove it with userdel"
  fi
  useradd --system --no-create-home --shell /usr/sbin/nologin "$user" || fail_setup "useradd $user failed"
  made_users+=("$user")
  install -d -o "$user" -g "$(id -g "$user")" "$root/home-$user"
done
ip netns add "$pc" || fail_setup "cannot make network namespaces here"
ip netns add "$web"
# IPv4 only: IPv6 addresses settling a moment after the links come up read as
# a network change to browsers, which then give up on the page.
for ns in "$pc" "$web"; do
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
done
ip link add "zd-pc-$tag" type veth peer name "zd-web-$tag"
ip link set "zd-pc-$tag" netns "$pc"
ip link set "zd-web-$tag" netns "$web"
ip -n "$pc" addr add 10.78.0.1/24 dev "zd-pc-$tag"
ip -n "$web" addr add "$site/24" dev "zd-web-$tag"
for ns in "$pc" "$web"; do ip -n "$ns" link set lo up; done
ip -n "$pc" link set "zd-pc-$tag" up
ip -n "$web" link set "zd-web-$tag" up

# The web: one plain-HTTP and one HTTPS server for every name.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=site.test \
  -days 2 -keyout "$root/site-key.pem" -out "$root/site-cert.pem" >/dev/null 2>&1
ip netns exec "$web" "$bin/tests/hostile/zorvane_test_site" "$site" 80 "$root/site-http.log" &
started
ip netns exec "$web" openssl s_server -accept "$site:443" -cert "$root/site-cert.pem" \
  -key "$root/site-key.pem" -www >"$root/site-https.log" 2>&1 &
started
wait_for "the web site" grep -q listening "$root/site-http.log"
wait_for "the HTTPS site" grep -q ACCEPT "$root/site-https.log"

# The stand-in cloud: its plain-HTTP filter server on 127.0.0.1:80, where the
# service will send the filter; it may fetch pages from the web namespace,
# and blocked.test is blocked for the first child (level 1).
"$bin/tools/cloud/zorvane_cloud" --print-default |
  sed -e 's|"page_fetch_allow": \[[^]]*\]|"page_fetch_allow": ["10.78.0.0/24"]|' \
    -e '0,/"block": \[/s//"block": ["blocked.test", /' >"$root/cloud.json"
ip netns exec "$pc" "$bin/tools/cloud/zorvane_cloud" --data "$root/cloud.json" --state "$root/cloud" \
  --http-port any --https-port any --filter-port 80 --port-file "$root/cloud.ports" \
  --log "$root/cloud-requests.log" >"$root/cloud.out" 2>&1 &
started
wait_for "the stand-in cloud" test -s "$root/cloud.ports"
https_port=$(awk '$1 == "https" {print $2}' "$root/cloud.ports")
export ZORVANE_CONNECTION_URL=https://127.0.0.1:$https_port/cgi-bin/connection
export ZORVANE_CONNECTION_URL_FALLBACK=$ZORVANE_CONNECTION_URL
ZORVANE_CA_FILE=$(awk '$1 == "certificate" {print $2}' "$root/cloud.ports")
export ZORVANE_CA_FILE

ip netns exec "$pc" "$bin/module/linux/zorvane_filter" --log "$root/filter.log" \
  >"$root/filter.out" 2>&1 &
started
wait_for "the filter host" test -S "$ZORVANE_RUN_DIR/ZorvaneFilter"
ip netns exec "$pc" "$bin/service/zorvane_service" >"$root/service.out" 2>&1 &
started
wait_for "the service" test -S "$ZORVANE_RUN_DIR/zorvane_pipe"
# The first check pass rolls the log over: look in both generations.
wait_for "the service's first check" bash -c \
  "cat '$ZORVANE_TEMP_DIR'/zorvane_service*.log | grep -q 'waiting for UI command'"

for user in "$child_user" "$adult_user"; do
  : >"$root/notices-$user.txt"
  chown "$user" "$root/notices-$user.txt"
  # Started directly, not through a function: the pid is the program's.
  ip netns exec "$pc" setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" \
    --clear-groups env ZORVANE_RUN_DIR="$ZORVANE_RUN_DIR" \
    "$bin/tools/notifier/zorvane_notifier" --no-desktop --record "$root/notices-$user.txt" \
    >"$root/notifier-$user.out" 2>&1 &
  started
done

ctl=$bin/client/zorvanectl
child_sid="S-1-22-1-$(id -u "$child_user")"
echo "== the parent signs in and maps $child_user ($child_sid) to the first child"
echo parent123 | "$ctl" signin parent >"$root/signin.out" 2>&1 || fail_setup "sign-in failed: $(cat "$root/signin.out")"
first_child=$("$ctl" children | awk -F', ' 'NR == 1 {print $1}')
printf '%s, %s\n' "$child_sid" "$first_child" >"$root/map.txt"
printf 'parent123\n' | "$ctl" set-map --user parent "$root/map.txt" >"$root/map.out" 2>&1 ||
  fail_setup "storing the map failed: $(cat "$root/map.out")"
child_rule="--uid-owner $(id -u "$child_user") -j REDIRECT"
wait_for "the child's rules" bash -c "ip netns exec $pc iptables-save | grep -q -- '$child_rule'"

# --- The steps, as the two users see them.
results=()
failures=0
record() {  # record PASS|FAIL STEP EXPECTED WHAT-HAPPENED
  results+=("$(printf '%-4s  %s\n      expected: %s\n      happened: %s' "$1" "$2" "$3" "$4")")
  [[ $1 == PASS ]] || failures=$((failures + 1))
}
https_get() {  # https_get USER HOST: curl's output and exit status
  as_user "$1" curl -sS -k --max-time 8 --resolve "$2:443:$site" "https://$2/" 2>&1
}
http_get() {  # http_get USER URL [curl options]
  local user=$1 url=$2; shift 2
  as_user "$user" curl -sS --max-time 8 -w 'status=%{http_code}\n' "$@" "$url" 2>&1
}

out=$(https_get "$child_user" allowed.test) && grep -q s_server <<<"$out" &&
  record PASS "child: https://allowed.test/" "the page loads" "the page loaded" ||
  record FAIL "child: https://allowed.test/" "the page loads" "${out:0:200}"

out=$(https_get "$child_user" blocked.test)
status=$?
notice=""
for _ in $(seq 50); do
  notice=$(grep -m1 "site blocked: blocked.test" "$root/notices-$child_user.txt") && break
  sleep 0.1
done
if ((status != 0)) && grep -q "wrong version number" <<<"$out" && [[ -n $notice ]]; then
  record PASS "child: https://blocked.test/" "refused (the 403 reply in place of TLS) and a notice" \
    "curl: ${out##*: }; the child's notifier: \"$notice\""
else
  record FAIL "child: https://blocked.test/" "refused and a notice" "curl: ${out:0:200}; notice: ${notice:-none}"
fi

before=$(grep -c "^filter " "$root/cloud-requests.log")
out=$(http_get "$child_user" "http://$site/homework")
tagged=$(grep "^filter .* GET $site/homework 200 child=$first_child " "$root/cloud-requests.log")
if grep -q "site page /homework" <<<"$out" && [[ -n $tagged ]]; then
  record PASS "child: http://$site/homework" "through the filter server, tagged, gets the page" \
    "the page; filter server: \"${tagged#filter }\""
else
  record FAIL "child: http://$site/homework" "tagged, gets the page" "${out:0:200}; filter server: ${tagged:-nothing}"
fi

out=$(http_get "$child_user" http://blocked.test/ --resolve "blocked.test:80:$site")
if grep -q "status=403" <<<"$out" && grep -q "blocked.test is blocked for" <<<"$out"; then
  record PASS "child: http://blocked.test/" "the filter server's block page" "403: $(grep -o 'blocked.test is blocked for[^<]*' <<<"$out")"
else
  record FAIL "child: http://blocked.test/" "the block page" "${out:0:200}"
fi

out=$(https_get "$adult_user" blocked.test) && grep -q s_server <<<"$out" &&
  out2=$(http_get "$adult_user" "http://$site/news") && grep -q "site page /news" <<<"$out2" &&
  grep -q "^10.78.0.1 GET /news HTTP/1.1$" "$root/site-http.log" &&
  ! grep -q "GET $site/news" "$root/cloud-requests.log" &&
  record PASS "adult: https://blocked.test/ and http://$site/news" "both straight to the site, untouched" \
    "both loaded; the site saw the plain request untagged" ||
  record FAIL "adult: https://blocked.test/ and http://$site/news" "untouched" "${out:0:120} ${out2:-}"

shots=""
if command -v chromium >/dev/null; then
  for page in "http://blocked.test/ blocked" "http://$site/homework allowed"; do
    read -r url name <<<"$page"
    file=$root/home-$child_user/screenshot-$name.png
    as_user "$child_user" timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run \
      --user-data-dir="$root/home-$child_user/chromium" --window-size=800,400 \
      "--host-resolver-rules=MAP blocked.test $site" --screenshot="$file" "$url" \
      >"$root/chromium-$name.out" 2>&1
    if [[ -s $file ]]; then
      mv "$file" "$root/screenshot-child-$name.png"
      shots+="$root/screenshot-child-$name.png "
    else
      shots+="($name: no screenshot, see $root/chromium-$name.out) "
    fi
  done
fi

{
  echo
  echo "Zorvane filter demo: what the two users got"
  echo
  for line in "${results[@]}"; do echo "$line"; done
  echo
  [[ -n $shots ]] && echo "Screenshots of the child's view: $shots" && echo
  echo "Logs: service $ZORVANE_TEMP_DIR/zorvane_service.log, filter host $root/filter.log,"
  echo "      cloud requests $root/cloud-requests.log, notices $root/notices-*.txt,"
  echo "      site $root/site-http.log"
  if ((failures)); then echo "RESULT: $failures step(s) FAILED"; else echo "RESULT: every step passed"; fi
} | tee "$report"

if ((keep)); then
  cat >"$root/stop.sh" <<STOP
#!/usr/bin/env bash
# Stops what scripts/demo.sh --keep left running and removes it.
kill -TERM ${pids[*]} 2>/dev/null; sleep 1; kill -KILL ${pids[*]} 2>/dev/null
ip netns pids $pc 2>/dev/null | xargs -r kill -KILL; ip netns pids $web 2>/dev/null | xargs -r kill -KILL
ip netns del $pc; ip netns del $web
for user in ${made_users[*]}; do pkill -KILL -u \$user; userdel \$user; done
rm -rf $ZORVANE_RUN_DIR
STOP
  chmod 755 "$root/stop.sh"
  echo
  echo "Left running. Look around:"
  echo "  ip netns exec $pc setpriv --reuid=$(id -u "$child_user") --regid=$(id -g "$child_user") --clear-groups curl -k --resolve blocked.test:443:$site https://blocked.test/"
  echo "  ZORVANE_RUN_DIR=$ZORVANE_RUN_DIR $ctl map"
  echo "  ip netns exec $pc iptables-save | grep ZORVANE"
  echo "Stop and remove everything: $root/stop.sh"
fi
((failures == 0))
