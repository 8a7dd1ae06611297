#!/usr/bin/env bash
# test.sh -- builds the native and the Windows (mingw-w64, run under Wine) builds and runs every
# test of both. Ends with one line "N passed, N failed"; exits non-zero when a test fails or a
# test program does not run to its end.
#
# As root on a fresh Debian machine it installs what is missing first; otherwise it names the
# missing packages and stops.
set -uo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# ---- packages ------------------------------------------------------------------------------
PACKAGES=(cmake make g++ gcc clang googletest curl mingw-w64 mingw-w64-tools wine wine32:i386 libwine-dev)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ! dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386; then
  need_i386=1
else
  need_i386=0
fi
if (( ${#missing[@]} > 0 || need_i386 )); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "test.sh: missing packages: ${missing[*]}$( ((need_i386)) && echo " (and the i386 dpkg architecture)")" >&2
    echo "test.sh: run as root once, or: dpkg --add-architecture i386 && apt-get update && apt-get install ${missing[*]}" >&2
    exit 2
  fi
  echo "== installing: ${missing[*]}"
  (( need_i386 )) && dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || {
    echo "test.sh: package installation failed" >&2; exit 2; }
fi

# ---- builds ----------------------------------------------------------------------------------
configure_and_build() {  # dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$JOBS" >"$dir.build.log" 2>&1 || { grep -E 'error|Error' "$dir.build.log" | head -40; return 1; }
}
mkdir -p build
echo "== building native (build/native)"
configure_and_build build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo || { echo "0 passed, 1 failed"; exit 1; }
echo "== building Windows DLL with mingw-w64 (build/win)"
configure_and_build build/win -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" || { echo "0 passed, 1 failed"; exit 1; }

# A fresh Wine prefix takes long to create: do it once, outside the timed tests.
if [[ ! -f build/win/wineprefix/system.reg ]]; then
  echo "== creating the Wine prefix (build/win/wineprefix)"
  build/win/wine-run.sh wineboot -i >/dev/null 2>&1
fi

# ---- tests -----------------------------------------------------------------------------------
total_passed=0
total_failed=0
run_suite() {  # label, build dir
  local label=$1 dir=$2 log="$2/test-output.log"
  echo "== running $label tests"
  (cd "$dir" && ctest -V --timeout 900) >"$log" 2>&1
  local ctest_rc=$?
  # ctest -V prefixes every line of test N with "N: ". Count gtest's results per program; a
  # program that failed without a gtest summary (a crash, a timeout) counts as one failure.
  read -r passed failed < <(awk '
    /^[0-9]+: \[  PASSED  \] [0-9]+ tests?\./ { t = $1 + 0; p[t] += $5 }
    /^[0-9]+: \[  FAILED  \] [0-9]+ tests?, listed below/ { t = $1 + 0; f[t] += $5 }
    /Test +#[0-9]+: / && /(\*\*\*|Failed|Timeout|Exception|Not Run)/ {
      s = $0; sub(/.*Test +#/, "", s); sub(/:.*/, "", s); bad[s + 0] = 1
    }
    END {
      tp = 0; tf = 0
      for (t in p) tp += p[t]
      for (t in f) tf += f[t]
      for (t in bad) if (!(t in f)) tf += 1
      print tp, tf
    }' "$log")
  grep -E '^[0-9]+: \[  FAILED  \] [A-Za-z_]|Test +#[0-9]+:' "$log" | sed 's/^/   /'
  if [[ $ctest_rc -ne 0 && $failed -eq 0 ]]; then failed=1; fi
  if [[ $passed -eq 0 && $failed -eq 0 ]]; then failed=1; echo "   no test ran"; fi
  echo "   $label: $passed passed, $failed failed (full output: $log)"
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
}
run_suite native build/native
run_suite "Windows build under Wine" build/win

echo "$total_passed passed, $total_failed failed"
[[ $total_failed -eq 0 ]]
