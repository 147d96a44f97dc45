#!/usr/bin/env bash
# Builds the Debian package of the Linux programs from a native build:
#   scripts/build-deb.sh [BUILD_DIR [OUTPUT_DIR]]   (defaults: build/native, build/packages)
# The service, the filter host, the watchdog, zorvanectl and the notifier go to
# /opt/zorvane/bin (zorvanectl and zorvane_notifier also on the PATH), the
# systemd units to /lib/systemd/system. The stand-in cloud is not packaged.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
out=${2:-build/packages}
version=$(sed -n 's/^project(Zorvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
programs=(service/zorvane_service module/linux/zorvane_filter ZorvMan/zorv_man
  client/zorvanectl tools/notifier/zorvane_notifier)
if [[ ! -d $build ]]; then
  cmake --preset native >/dev/null
fi
cmake --build "$build" --target zorvane_service zorvane_filter zorv_man zorvanectl \
  zorvane_notifier >/dev/null

stage=$(mktemp -d)
chmod 0755 "$stage"
trap 'rm -rf "$stage"' EXIT
install -d "$stage/DEBIAN" "$stage/opt/zorvane/bin" "$stage/lib/systemd/system" \
  "$stage/usr/bin" "$stage/usr/share/doc/zorvane"
for program in "${programs[@]}"; do
  install -m 0755 -s "$build/$program" "$stage/opt/zorvane/bin/"
done
ln -s /opt/zorvane/bin/zorvanectl "$stage/usr/bin/zorvanectl"
ln -s /opt/zorvane/bin/zorvane_notifier "$stage/usr/bin/zorvane_notifier"
install -m 0644 packaging/deb/*.service "$stage/lib/systemd/system/"
install -m 0644 README.md "$stage/usr/share/doc/zorvane/README.md"
install -m 0755 packaging/deb/postinst packaging/deb/prerm packaging/deb/postrm "$stage/DEBIAN/"
cat >"$stage/DEBIAN/control" <<CONTROL
Package: zorvane
Version: $version
Architecture: $(dpkg --print-architecture)
Maintainer: Zorvane developers <dev@zorvane.invalid>
Depends: libc6, libstdc++6, libcurl4, libssl3, libnetfilter-queue1, iptables, procps
Section: net
Priority: optional
Description: parental-control internet filter
 The filtering service, the filter host (per-user packet-filter rules, a
 tagging proxy for plain HTTP and a queue for HTTPS), the watchdog, the
 command-line front end zorvanectl and the desktop notifier.
CONTROL
mkdir -p "$out"
package=$out/zorvane_${version}_$(dpkg --print-architecture).deb
dpkg-deb --root-owner-group --build "$stage" "$package" >/dev/null
echo "$package"
