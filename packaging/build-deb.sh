#!/usr/bin/env bash
# build-deb.sh -- builds the Debian package kvlumen_<version>_<arch>.deb in build/package (or the
# folder given) and prints its path on the last line.
#
#   packaging/build-deb.sh [BUILD_DIR]
#
# Only what the package holds is built (programs, modules, libkvposix), for the prefix /usr.
# Shows cmake's progress lines as it builds.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/package}
mkdir -p "$BUILD"
BUILD=$(cd "$BUILD" && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >"$BUILD.configure.log" 2>&1 || { cat "$BUILD.configure.log"; exit 1; }
# The Redis event manager where hiredis is (the configure log warns where it is not).
targets=(kvlisten kvreg kvregsvr KVEvLsn KVEvSpool)
[[ $(cmake --build "$BUILD" --target help 2>/dev/null) =~ [[:space:]]KVEvRedis($'\n'|$) ]] && targets+=(KVEvRedis)
cmake --build "$BUILD" -j"$JOBS" --target "${targets[@]}" >"$BUILD.build.log" 2>&1 || {
  grep -E 'error' "$BUILD.build.log" | head -30; exit 1; }
rm -f "$BUILD"/kvlumen_*.deb
(cd "$BUILD" && cpack -G DEB >"$BUILD/cpack.log" 2>&1) || { cat "$BUILD/cpack.log"; exit 1; }
ls "$BUILD"/kvlumen_*.deb
