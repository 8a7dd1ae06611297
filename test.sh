#!/usr/bin/env bash
# test.sh -- builds the native and the Windows (mingw-w64, run under Wine) builds and runs every
# test of both. Ends with one line "N passed, N failed, N skipped"; exits non-zero when a test
# fails or a test program does not run to its end.
#
# As root on a fresh Debian machine it installs what is missing first; otherwise it names the
# missing packages and stops.
set -uo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# ---- packages ------------------------------------------------------------------------------
source "$ROOT/scripts/packages.sh"
ensure_packages || exit 2

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
total_skipped=0
run_suite() {  # label, build dir
  local label=$1 dir=$2 log="$2/test-output.log"
  echo "== running $label tests"
  (cd "$dir" && ctest -V --timeout 900) >"$log" 2>&1
  local ctest_rc=$?
  # ctest -V prefixes every line of test N with "N: ". Count gtest's results per program; a
  # program that failed without a gtest summary (a crash, a timeout) counts as one failure.
  read -r passed failed skipped < <(awk '
    /^[0-9]+: \[  PASSED  \] [0-9]+ tests?\./ { t = $1 + 0; p[t] += $5 }
    /^[0-9]+: \[  FAILED  \] [0-9]+ tests?, listed below/ { t = $1 + 0; f[t] += $5 }
    /^[0-9]+: \[  SKIPPED \] [0-9]+ tests?, listed below/ { t = $1 + 0; k[t] += $5 }
    /Test +#[0-9]+: / && /(\*\*\*|Failed|Timeout|Exception|Not Run)/ {
      s = $0; sub(/.*Test +#/, "", s); sub(/:.*/, "", s); bad[s + 0] = 1
    }
    END {
      tp = 0; tf = 0; tk = 0
      for (t in p) tp += p[t]
      for (t in f) tf += f[t]
      for (t in k) tk += k[t]
      for (t in bad) if (!(t in f)) tf += 1
      print tp, tf, tk
    }' "$log")
  grep -E '^[0-9]+: \[  (FAILED|SKIPPED) \] [A-Za-z_]|Test +#[0-9]+:' "$log" | sed 's/^/   /'
  if [[ $ctest_rc -ne 0 && $failed -eq 0 ]]; then failed=1; fi
  if [[ $passed -eq 0 && $failed -eq 0 ]]; then failed=1; echo "   no test ran"; fi
  echo "   $label: $passed passed, $failed failed, $skipped skipped (full output: $log)"
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  total_skipped=$((total_skipped + skipped))
}
run_suite native build/native
run_suite "Windows build under Wine" build/win

echo "$total_passed passed, $total_failed failed, $total_skipped skipped"
[[ $total_failed -eq 0 ]]
