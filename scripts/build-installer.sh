#!/usr/bin/env bash
# Builds the Windows installer from a windows-preset build:
#   scripts/build-installer.sh [BUILD_DIR [OUT]]
# (defaults: build/windows, build/packages/zorvane_setup_<version>.exe)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/windows}
version=$(sed -n 's/^project(Zorvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
out=${2:-build/packages/zorvane_setup_${version}.exe}
if ! command -v makensis >/dev/null; then
  echo "build-installer: makensis is missing (Debian package nsis; scripts/install-deps.sh)" >&2
  exit 1
fi
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake --preset windows >/dev/null
fi
cmake --build "$build" --target zorvane_service zorv_man ZorvaneUi >/dev/null
mkdir -p "$(dirname "$out")"
build=$(cd "$build" && pwd)
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
makensis -V2 -WX -NOCD -DBUILD_DIR="$build" -DOUT_FILE="$out" -DVERSION="$version" \
  packaging/windows/zorvane.nsi >&2
echo "$out"
