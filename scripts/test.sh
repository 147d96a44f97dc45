#!/usr/bin/env bash
# Installs what is missing, builds the native and Windows presets, runs both
# test suites (the Windows one under Wine). Exits non-zero on any failure.
#
#   scripts/test.sh              everything
#   scripts/test.sh native       one preset only (native, asan or windows)
set -uo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
((${#presets[@]})) || presets=(native asan windows)

scripts/install-deps.sh || exit 1

failed=()
for preset in "${presets[@]}"; do
  start=$SECONDS
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    failed+=("$preset (build)")
    continue
  fi
  echo "=== $preset: test"
  if [[ $preset == windows ]]; then
    # One wineserver for the whole run, with Wine's own services already up:
    # programs started side by side on a cold server, while Wine boots its
    # services, can hang past their time-out.
    prefix=${WINEPREFIX:-${ZORVANE_WINEPREFIX:-${TMPDIR:-/tmp}/zorvane-wine-$(id -u)}}
    timeout 120 cmake/wine-run.sh cmd /c exit >/dev/null 2>&1 || true
    WINEPREFIX=$prefix wineserver -p 2>/dev/null || true
    timeout 60 cmake/wine-run.sh cmd /c exit >/dev/null 2>&1 || true
  fi
  if ! ctest --preset "$preset"; then
    failed+=("$preset (tests)")
  fi
  if [[ $preset == windows ]]; then
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  fi
  echo "=== $preset: $((SECONDS - start)) s"
done

if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all presets passed: ${presets[*]}"
