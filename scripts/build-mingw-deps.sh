#!/usr/bin/env bash
# Builds the Windows-side libraries (static libcrypto, static libcurl with
# Schannel, GoogleTest/GoogleMock) for MinGW-w64 x86-64 from Debian's source
# packages, into a cache folder keyed by the source versions, so a second
# run only prints the prefix.
#
#   scripts/build-mingw-deps.sh          builds if needed, prints the prefix
#
# ZORVANE_DEPS_CACHE overrides the cache root (default ~/.cache/zorvane).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache_root=${ZORVANE_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zorvane}
host=x86_64-w64-mingw32
jobs=$(nproc)

log() { echo "build-mingw-deps: $*" >&2; }

# Every version apt offers for a source package, highest first.
source_versions() {
  apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -u |
    sort -r -V
}

curl_versions=$(source_versions curl)
openssl_versions=$(source_versions openssl)
if [[ -z $curl_versions || -z $openssl_versions ]]; then
  log "apt-cache knows no curl/openssl sources: run scripts/install-deps.sh (adds deb-src) first"
  exit 1
fi
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
mingw_version=$($host-g++-posix -dumpversion)
key=$(printf '%s\n' "$curl_versions" "$openssl_versions" "$gtest_version" \
  "$mingw_version" "$(sha256sum "$0" | cut -d' ' -f1)" | sha256sum | cut -c1-16)
prefix=$cache_root/mingw-deps-$key

if [[ -f $prefix/.complete ]]; then
  echo "$prefix"
  exit 0
fi

log "building into $prefix (cold build, several minutes)"
work=$(mktemp -d "${TMPDIR:-/tmp}/zorvane-deps.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix"
mkdir -p "$prefix/lib" "$prefix/include"

# apt-get source of the newest listed version; the security archive may list
# a version whose source is gone, so fall back to each older one, then to the
# release's own.
fetch_source() {
  local pkg=$1 versions=$2 v
  (
    cd "$work"
    for v in $versions; do
      if apt-get source -qq --only-source "$pkg=$v" >/dev/null 2>&1; then
        log "$pkg $v fetched"
        return 0
      fi
      log "$pkg $v not available, trying older"
    done
    apt-get source -qq --only-source "$pkg/bookworm" >/dev/null 2>&1 && return 0
    log "cannot fetch the source of $pkg"
    return 1
  )
}

fetch_source openssl "$openssl_versions"
fetch_source curl "$curl_versions"

# OpenSSL: only libcrypto is needed (MD5 and AES through EVP).
log "openssl"
(
  cd "$work"/openssl-*/
  ./Configure mingw64 no-shared no-tests no-module no-engine no-dso no-legacy \
    --cross-compile-prefix=$host- --prefix="$prefix" >"$work/openssl-configure.log" 2>&1
  make -j"$jobs" build_generated >"$work/openssl-build.log" 2>&1
  make -j"$jobs" libcrypto.a >>"$work/openssl-build.log" 2>&1
  cp libcrypto.a "$prefix/lib/"
  mkdir -p "$prefix/include/openssl"
  cp include/openssl/*.h "$prefix/include/openssl/"
) || { log "openssl failed; see the logs:"; tail -40 "$work"/openssl-*.log >&2; exit 1; }

# curl: CMake build (Debian's patches need autoreconf for autotools), HTTP
# only, Schannel TLS, static.
log "curl"
(
  cd "$work"/curl-*/
  cmake -S . -B build -G Ninja \
    -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER=$host-gcc-posix \
    -DCMAKE_RC_COMPILER=$host-windres \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_ZLIB=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF -DUSE_LIBIDN2=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DENABLE_UNIX_SOCKETS=OFF \
    -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DENABLE_MANUAL=OFF \
    >"$work/curl-configure.log" 2>&1
  cmake --build build -j"$jobs" >"$work/curl-build.log" 2>&1
  cmake --install build >>"$work/curl-build.log" 2>&1
) || { log "curl failed; see the logs:"; tail -40 "$work"/curl-*.log >&2; exit 1; }

# GoogleTest and GoogleMock from Debian's googletest sources.
log "googletest"
(
  cmake -S /usr/src/googletest -B "$work/gtest" -G Ninja \
    -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER=$host-gcc-posix \
    -DCMAKE_CXX_COMPILER=$host-g++-posix \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -Dgtest_disable_pthreads=OFF -DBUILD_GMOCK=ON \
    >"$work/gtest-configure.log" 2>&1
  cmake --build "$work/gtest" -j"$jobs" >"$work/gtest-build.log" 2>&1
  cmake --install "$work/gtest" >>"$work/gtest-build.log" 2>&1
) || { log "googletest failed; see the logs:"; tail -40 "$work"/gtest-*.log >&2; exit 1; }

touch "$prefix/.complete"
log "done"
echo "$prefix"
