#!/usr/bin/env bash
# run.sh -- builds the listener and runs it in the foreground, ready for printers (or curl).
#
#   ./run.sh [--port N] [--wine]
#
# Everything it configures lives in ./run/: the registry store (registry.reg), the spool folder
# where every delivered message appears as a file, and the component's log (kvlisten.log). With
# --wine the Windows DLL runs under Wine instead, with its own prefix in ./run/wineprefix.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
PORT=8080
WINE_MODE=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --port) PORT=$2; shift 2 ;;
    --wine) WINE_MODE=1; shift ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

source "$ROOT/scripts/packages.sh"
ensure_packages || exit 2

RUN="$ROOT/run"
mkdir -p "$RUN/spool"
JOBS=$(nproc 2>/dev/null || echo 2)

if [[ $WINE_MODE -eq 0 ]]; then
  echo "== building (build/native)"
  cmake -S "$ROOT" -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >build/native.configure.log 2>&1 || {
    cat build/native.configure.log; exit 1; }
  cmake --build build/native -j"$JOBS" --target KVEvLsn KVEvSpool kvlisten kvreg kvregsvr >build/native.build.log 2>&1 || {
    grep -E 'error' build/native.build.log | head -30; exit 1; }
  BIN="$ROOT/build/native/bin"
  export KVLUMEN_REGISTRY="$RUN/registry.reg"
  "$BIN/kvregsvr" /s "$BIN/KVEvLsn.so"
  "$BIN/kvregsvr" /s "$BIN/KVEvSpool.so"
  "$BIN/kvreg" add 'HKLM\SOFTWARE\Korvane\KVLumen\Listener' /v ports /t REG_SZ /d "$PORT" /f >/dev/null
  "$BIN/kvreg" add 'HKLM\SOFTWARE\Korvane\KVLumen\EventManager' /v spool /t REG_SZ /d "$RUN/spool" /f >/dev/null
  "$BIN/kvreg" add 'HKLM\SOFTWARE\Korvane\KVLumen\Logging' /v KVLUMEN.EventListener /t REG_SZ \
    /d "file,$RUN/kvlisten.log,5" /f >/dev/null
  echo "== registry: $KVLUMEN_REGISTRY; spool: $RUN/spool; log: $RUN/kvlisten.log"
  echo "== starting kvlisten (Ctrl+C stops it)"
  exec "$BIN/kvlisten"
else
  echo "== building the Windows DLL (build/win)"
  mkdir -p build
  cmake -S "$ROOT" -B build/win -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >build/win.configure.log 2>&1 || {
    cat build/win.configure.log; exit 1; }
  cmake --build build/win -j"$JOBS" --target KVEvLsn KVEvSpool kvlisten >build/win.build.log 2>&1 || {
    grep -E 'error' build/win.build.log | head -30; exit 1; }
  export WINEPREFIX="$RUN/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [[ -f "$WINEPREFIX/system.reg" ]] || { echo "== creating the Wine prefix"; wineboot -i >/dev/null 2>&1; }
  BIN="$ROOT/build/win/bin"
  wine regsvr32 /s "$(winepath -w "$BIN/KVEvLsn.dll")"
  wine regsvr32 /s "$(winepath -w "$BIN/KVEvSpool.dll")"
  wine reg add 'HKLM\SOFTWARE\Korvane\KVLumen\Listener' /v ports /t REG_SZ /d "$PORT" /f >/dev/null
  wine reg add 'HKLM\SOFTWARE\Korvane\KVLumen\EventManager' /v spool /t REG_SZ /d "$(winepath -w "$RUN/spool")" /f >/dev/null
  wine reg add 'HKLM\SOFTWARE\Korvane\KVLumen\Logging' /v KVLUMEN.EventListener /t REG_SZ \
    /d "file,$(winepath -w "$RUN/kvlisten.log"),5" /f >/dev/null
  echo "== Wine prefix: $WINEPREFIX; spool: $RUN/spool; log: $RUN/kvlisten.log"
  echo "== starting kvlisten.exe under Wine (Ctrl+C stops it)"
  exec wine "$BIN/kvlisten.exe"
fi
