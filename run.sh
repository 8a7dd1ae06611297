#!/usr/bin/env bash
# run.sh -- builds the listener and runs it in the foreground, ready for printers (or curl).
#
# Everything it configures lives in ./run/: the registry store (registry.reg), the spool folder
# where every delivered message appears as a file, and the component's log (kvlisten.log). With
# --wine the Windows DLL runs under Wine instead, with its own prefix in ./run/wineprefix.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)

usage() {
  cat <<'USAGE'
usage: ./run.sh [--port N] [--listen ADDRESS]... [--interfaces] [--wine]

Builds the listener, registers it and the spool event manager in ./run/registry.reg and runs
kvlisten in the foreground until Ctrl+C. Delivered messages appear in ./run/spool, the
component's log (level 5) in ./run/kvlisten.log. As root it first installs the Debian packages
the run needs (the Windows toolchain and Wine only with --wine).

  --port N, --port=N   listen on port N (default 8080)
  --listen ADDRESS     listen on this numeric address instead of the host name's (repeatable;
                       0.0.0.0 means every IPv4 address, :: every IPv6 address)
  --interfaces         listen on the addresses of every interface that is up, loopback included,
                       so that printers on the network reach the listener (by default: the
                       addresses of the host name, which a stock Debian maps to 127.0.1.1 only);
                       Linux build only
  --wine               run the Windows DLL and kvlisten.exe under Wine (prefix ./run/wineprefix);
                       the host name then resolves as Wine resolves it, and kvlisten.exe names
                       the addresses it listens on; --listen 0.0.0.0 reaches every IPv4 address
  -h, --help           this text
USAGE
}

die_usage() {
  echo "run.sh: $*" >&2
  echo "(./run.sh --help says more)" >&2
  exit 2
}

PORT=8080
WINE_MODE=0
HOST_OPTIONS=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --port|--port=*)
      if [[ $1 == --port=* ]]; then value=${1#--port=}; shift; else
        [[ $# -ge 2 ]] || die_usage "--port needs a port number (1 to 65535)"
        value=$2; shift 2
      fi
      [[ $value =~ ^[0-9]+$ ]] && (( 10#$value >= 1 && 10#$value <= 65535 )) || die_usage "--port $value: not a port number (1 to 65535)"
      PORT=$((10#$value)) ;;
    --listen|--listen=*)
      if [[ $1 == --listen=* ]]; then value=${1#--listen=}; shift; else
        [[ $# -ge 2 && -n $2 ]] || die_usage "--listen needs a numeric address (0.0.0.0 or :: for all)"
        value=$2; shift 2
      fi
      HOST_OPTIONS+=(--listen "$value") ;;
    --interfaces) HOST_OPTIONS+=(--interfaces); shift ;;
    --wine) WINE_MODE=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) die_usage "unknown option $1" ;;
  esac
done
if [[ $WINE_MODE -eq 1 && " ${HOST_OPTIONS[*]-} " == *" --interfaces "* ]]; then
  die_usage "--interfaces is for the Linux build; under Wine use --listen 0.0.0.0"
fi

source "$ROOT/scripts/packages.sh"
if [[ $WINE_MODE -eq 1 ]]; then ensure_packages "${KV_WINE_RUN_PACKAGES[@]}" || exit 2
else ensure_packages "${KV_RUN_PACKAGES[@]}" || exit 2; fi

RUN="$ROOT/run"
mkdir -p "$RUN/spool" "$ROOT/build"
JOBS=$(nproc 2>/dev/null || echo 2)

# configure_and_build DIR TARGETS... -- [cmake options]: shows the build's progress (cmake's
# "[ 42%] Building ..." lines), keeps the whole output in build/DIR.build.log and shows its
# errors on failure.
configure_and_build() {
  local dir=$1 targets=()
  shift
  while [[ $# -gt 0 && $1 != -- ]]; do targets+=("$1"); shift; done
  shift
  echo "   configuring (log: build/$dir.configure.log)"
  cmake -S "$ROOT" -B "build/$dir" "$@" >"build/$dir.configure.log" 2>&1 || {
    cat "build/$dir.configure.log"; exit 1; }
  # The Redis event manager is built where hiredis is.
  if [[ $(cmake --build "build/$dir" --target help 2>/dev/null) =~ [[:space:]]KVEvRedis($'\n'|$) ]]; then targets+=(KVEvRedis); fi
  echo "   building ${targets[*]} with $JOBS jobs (log: build/$dir.build.log)"
  if ! cmake --build "build/$dir" -j"$JOBS" --target "${targets[@]}" 2>&1 | tee "build/$dir.build.log" |
       sed -n -u '/^\[ *[0-9]*%\] \(Building\|Linking\)/s/^/   /p'; then
    grep -E 'error' "build/$dir.build.log" | head -30
    exit 1
  fi
}

if [[ $WINE_MODE -eq 0 ]]; then
  echo "== building (build/native)"
  configure_and_build native KVEvLsn KVEvSpool kvlisten kvreg kvregsvr -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
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
  exec "$BIN/kvlisten" ${HOST_OPTIONS[@]+"${HOST_OPTIONS[@]}"}
else
  echo "== building the Windows DLL (build/win)"
  configure_and_build win KVEvLsn KVEvSpool kvlisten -- -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake"
  export WINEPREFIX="$RUN/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [[ -f "$WINEPREFIX/system.reg" ]] || { echo "== creating the Wine prefix (takes a minute)"; wineboot -i >/dev/null 2>&1; }
  BIN="$ROOT/build/win/bin"
  wine regsvr32 /s "$(winepath -w "$BIN/KVEvLsn.dll")"
  wine regsvr32 /s "$(winepath -w "$BIN/KVEvSpool.dll")"
  wine reg add 'HKLM\SOFTWARE\Korvane\KVLumen\Listener' /v ports /t REG_SZ /d "$PORT" /f >/dev/null
  wine reg add 'HKLM\SOFTWARE\Korvane\KVLumen\EventManager' /v spool /t REG_SZ /d "$(winepath -w "$RUN/spool")" /f >/dev/null
  wine reg add 'HKLM\SOFTWARE\Korvane\KVLumen\Logging' /v KVLUMEN.EventListener /t REG_SZ \
    /d "file,$(winepath -w "$RUN/kvlisten.log"),5" /f >/dev/null
  echo "== Wine prefix: $WINEPREFIX; spool: $RUN/spool; log: $RUN/kvlisten.log"
  echo "== starting kvlisten.exe under Wine (Ctrl+C stops it); it names the addresses it listens on"
  exec wine "$BIN/kvlisten.exe" ${HOST_OPTIONS[@]+"${HOST_OPTIONS[@]}"}
fi
