#!/usr/bin/env bash
# status_page_e2e.sh -- the status page in a real browser: headless Chromium (Debian's) loads
# kvlisten's /status after printers at two addresses have reported, and its DOM must hold one row
# per printer and the chart; a screenshot is kept as an artefact. /metrics and /health are read by
# curl beside it.
#
#   status_page_e2e.sh BIN_DIR SOURCE_DIR ARTEFACT_DIR
#
# Loopback only (the printers come from 127.0.0.1 and 127.0.0.2). Without Chromium it says
# SKIPPED.
set -uo pipefail
BIN=$(cd "${1:?usage: status_page_e2e.sh BIN_DIR SOURCE_DIR ARTEFACT_DIR}" && pwd) || exit 2
SRC=$(cd "${2:?}" && pwd) || exit 2
ARTEFACTS=${3:?}
source "$SRC/tests/e2e/e2e_lib.sh"
unset KVLUMEN_HOST_ADDRESSES

BROWSER=$(command -v chromium || command -v chromium-browser || true)
if [[ -z $BROWSER ]]; then
  echo "status_page_e2e: SKIPPED -- Debian's chromium is not installed"
  printf '[  SKIPPED ] 1 test, listed below:\n[  SKIPPED ] StatusPage.InABrowser\n'
  exit 0
fi

WORK=$(mktemp -d /tmp/kv-status.XXXXXX)
HOST_PID=
trap '[[ -n $HOST_PID ]] && kill -9 "$HOST_PID" 2>/dev/null; wait 2>/dev/null; rm -rf "$WORK"' EXIT
mkdir -p "$WORK/spool" "$ARTEFACTS"
export KVLUMEN_REGISTRY=$WORK/registry.reg
REG='HKLM\SOFTWARE\Korvane\KVLumen'
PORT=$(free_port 127.0.0.1)
URL=http://127.0.0.1:$PORT

case_setup() {
  "$BIN/kvregsvr" /s "$BIN/KVEvLsn.so" && "$BIN/kvregsvr" /s "$BIN/KVEvSpool.so" || fail "registration failed"
  "$BIN/kvreg" add "$REG\\Listener" /v ports /t REG_SZ /d "$PORT" /f >/dev/null
  "$BIN/kvreg" add "$REG\\EventManager" /v spool /t REG_SZ /d "$WORK/spool" /f >/dev/null
  KVLUMEN_LISTEN=127.0.0.1 "$BIN/kvlisten" >"$WORK/kvlisten.out" 2>"$WORK/kvlisten.err" </dev/null &
  HOST_PID=$!
  wait_until 20 eval '(exec 3<>/dev/tcp/127.0.0.1/'"$PORT"') 2>/dev/null' || fail "kvlisten did not listen"
  # Three events from one printer, one from another, and a refused request from the second.
  for i in 1 2 3; do
    curl -s -o /dev/null --interface 127.0.0.1 --data-binary @"$SRC/samples/deliver.xml" "$URL/" || fail "curl $i"
  done
  curl -s -o /dev/null --interface 127.0.0.2 --data-binary @"$SRC/samples/deliver.xml" "$URL/" || fail "curl from 127.0.0.2"
  # curl is done at its answer; the listener counts a request once its delivery is over.
  wait_until 10 eval 'curl -s "$URL/metrics" | grep -q "^kvlumen_requests_total{outcome=\"delivered\"} 4$"' ||
    fail "the four deliveries were not counted within 10 s"
  curl -s -o /dev/null --interface 127.0.0.2 -H 'Transfer-Encoding: gzip' --data-binary x "$URL/" || fail "curl refused"
  wait_until 10 eval 'curl -s "$URL/metrics" | grep -q "^kvlumen_refusals_total{status=\"501\"} 1$"' ||
    fail "the refusal was not counted within 10 s"
}

case_page_in_chromium() {
  local profile=$WORK/profile flags
  flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking
         --disable-component-update --disable-sync --user-data-dir="$profile")
  timeout 60 "$BROWSER" "${flags[@]}" --dump-dom "$URL/status?sort=address" >"$WORK/dom.html" 2>"$WORK/chromium.err" ||
    fail "chromium could not load the page: $(tail -3 "$WORK/chromium.err")"
  # What a person sees: the health, one row per printer with its counts, the chart's sixty minutes.
  grep -q '<span id="health" class="healthy">healthy</span>' "$WORK/dom.html" || fail "the page does not say healthy"
  local rows
  rows=$(perl -0ne 'if (m{<table id="printers">.*?<tbody>(.*?)</tbody>}s) { my $b = $1; my $n = () = $b =~ /<tr/g; print $n } else { print 0 }' "$WORK/dom.html")
  [[ $rows -eq 2 ]] || fail "the printer table has $rows rows, not 2"
  perl -0ne 'exit !(m{<td>127\.0\.0\.1</td><td class="n">3</td>}s)' "$WORK/dom.html" ||
    fail "no row says 127.0.0.1 delivered 3 events"
  perl -0ne 'exit !(m{<tr class="failing"><td>127\.0\.0\.2</td><td class="n">1</td>.*?refused with 501</td><td class="n">1</td>}s)' "$WORK/dom.html" ||
    fail "no row says 127.0.0.2 delivered 1 event and was last refused with 501"
  [[ $(grep -o '<rect class="bar"' "$WORK/dom.html" | wc -l) -eq 60 ]] || fail "the chart does not have 60 minutes"
  [[ $(perl -ne '$s += $1 while m{<title>[^<]*: (\d+)</title>}g; END { print $s + 0 }' "$WORK/dom.html") -eq 4 ]] ||
    fail "the chart does not show the 4 events"
  grep -Eq '<(script|link)|src="http' "$WORK/dom.html" && fail "the page loads something from elsewhere"
  timeout 60 "$BROWSER" "${flags[@]}" --window-size=1100,1300 --screenshot="$ARTEFACTS/status-page.png" "$URL/status" \
    >/dev/null 2>>"$WORK/chromium.err" || fail "no screenshot"
  [[ -s $ARTEFACTS/status-page.png ]] || fail "the screenshot is empty"
}

case_metrics_and_health() {
  local metrics
  metrics=$(curl -s "$URL/metrics") || fail "curl /metrics"
  grep -q '^kvlumen_requests_total{outcome="delivered"} 4$' <<<"$metrics" || fail "/metrics does not count 4 deliveries"
  grep -q '^kvlumen_refusals_total{status="501"} 1$' <<<"$metrics" || fail "/metrics does not count the 501"
  grep -q '^kvlumen_spool_files_waiting 4$' <<<"$metrics" || fail "/metrics does not say 4 events wait in the spool"
  [[ $(curl -s -o /dev/null -w '%{http_code}' "$URL/health") == 200 ]] || fail "/health is not 200"
  # The spool folder gone: health and the page say so.
  rm -rf "$WORK/spool"
  [[ $(curl -s -o "$WORK/health" -w '%{http_code}' "$URL/health") == 503 ]] || fail "/health is not 503 without the folder"
  grep -q 'the event manager is not ready: spool folder .* takes no new file' "$WORK/health" || fail "/health: $(cat "$WORK/health")"
}

run_case StatusPage.Setup case_setup
run_case StatusPage.InChromium case_page_in_chromium
run_case StatusPage.MetricsAndHealth case_metrics_and_health
e2e_summary
