#!/usr/bin/env bash
# readme_e2e.sh -- the README's commands as a new user meets them: in a fresh git clone of this checkout, where nothing is built yet.
#
#   readme_e2e.sh SOURCE_DIR
#
# Clones the checkout's committed state into a temporary folder, checks that the README's layout
# names every top-level folder, then runs the README's commands there: ./run.sh (with a port of
# our own instead of 8080, so that no other run collides with it), both curl commands, the kvreg
# example, and Ctrl+C. Loopback traffic only; everything it starts is ended, the clone removed.
# Prints one line per case, then "N passed, N failed"; exits non-zero when a case failed.
set -uo pipefail

SRC=$(cd "${1:?usage: readme_e2e.sh SOURCE_DIR}" && pwd) || exit 2
source "$SRC/tests/e2e/e2e_lib.sh"
for tool in git curl; do
  command -v "$tool" >/dev/null || { echo "readme_e2e: $tool is not installed"; echo "0 passed, 1 failed"; exit 1; }
done

if ! git -C "$SRC" rev-parse --verify -q HEAD >/dev/null; then
  echo "readme_e2e: SKIPPED -- $SRC is not a git checkout with a commit, so there is nothing to clone"
  printf '[  SKIPPED ] 1 test, listed below:\n[  SKIPPED ] Readme.AllOfIt\n'
  exit 0
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-e2e-readme.XXXXXX") || exit 2
CLONE=$WORK/clone
RUN_PID=""
RUN_OUT=$WORK/run.out
PORT=""

cleanup() {
  stop_process "$RUN_PID"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "readme_e2e: interrupted"; exit 130' INT TERM

e2e_diagnose() {
  echo "./run.sh printed:"
  tail -n 25 "$RUN_OUT" 2>/dev/null
}

# The README's indented command lines of one section ("## Run it" up to the next "## ").
readme_commands() {
  awk -v section="$1" '
    /^## / { inside = ($0 == "## " section) ; next }
    inside && /^    [^ ]/ { sub(/^    /, ""); print }' "$CLONE/README.md"
}

# ---- cases ----------------------------------------------------------------------------------------

# A clone holds only what is committed: that is where a new user starts.
case_clone() {
  git clone -q "$SRC" "$CLONE" 2>"$WORK/clone.err" || { fail "git clone failed: $(cat "$WORK/clone.err")"; return 1; }
  [[ ! -e $CLONE/build ]] || fail "the clone has a build folder already"
  echo "    cloned $(git -C "$CLONE" log -1 --format='%h %s' | cut -c1-70)"
}

# The layout names every top-level folder of the tree.
case_layout() {
  local layout folder
  layout=$(awk '/^## Layout/ { inside = 1; next } /^## / { inside = 0 } inside' "$CLONE/README.md")
  for folder in $(git -C "$CLONE" ls-files | grep / | cut -d/ -f1 | sort -u); do
    grep -qE "(^| )$folder/" <<<"$layout" || fail "the README's layout does not list $folder/"
  done
}

# ./run.sh --help prints the usage; an option without its value is a clear error, exit 2.
case_run_options() {
  local out rc
  out=$(cd "$CLONE" && ./run.sh --help 2>&1)
  rc=$?
  [[ $rc -eq 0 ]] && grep -q '^usage: ./run.sh' <<<"$out" || fail "./run.sh --help exited $rc: $(head -n 2 <<<"$out")"
  out=$(cd "$CLONE" && ./run.sh --port 2>&1)
  rc=$?
  [[ $rc -eq 2 ]] && grep -q -- '--port needs a port number' <<<"$out" || fail "./run.sh --port exited $rc: $out"
  [[ ! -e $CLONE/build ]] || fail "a bad command line built something"
}

run_announced_or_gone() { grep -q '^kvlisten: listening on port ' "$RUN_OUT" || process_gone "$RUN_PID"; }

# The README's first command builds from nothing, registers, and listens (on our port).
case_first_run() {
  readme_commands "Run it" | grep -qE '^\./run\.sh( |$)' || fail "the README no longer starts with ./run.sh"
  ADDRESS=$(listener_address) || { fail "no loopback address for the host name"; return 1; }
  PORT=$(free_port "$ADDRESS") || { fail "no free port"; return 1; }
  (cd "$CLONE" && exec ./run.sh --port "$PORT") >"$RUN_OUT" 2>&1 </dev/null &
  RUN_PID=$!
  if ! wait_until 900 run_announced_or_gone || ! grep -q "^kvlisten: listening on port $PORT " "$RUN_OUT"; then
    fail "./run.sh did not get to listen on port $PORT"
    return 1
  fi
  echo "    $(grep '^kvlisten: listening' "$RUN_OUT")"
}

# Every curl command of "Run it", as it stands but for the port, delivers the sample: curl prints
# the DeliverResponse and run/spool holds the sample byte for byte.
case_curl_commands() {
  [[ -n $PORT ]] || { fail "nothing runs (see the first failed case)"; return 1; }
  local command count=0 before out
  while IFS= read -r command; do
    count=$((count + 1))
    command=${command//:8080\//:$PORT/}
    before=$(spool_count "$CLONE/run/spool")
    out=$(cd "$CLONE" && timeout 30 bash -c "$command" 2>/dev/null)
    grep -q 'DeliverResponse' <<<"$out" || fail "'$command' printed no DeliverResponse: $(head -c 200 <<<"$out")"
    check_spooled "$CLONE/run/spool" "$before" "$CLONE/samples/deliver.xml" "$command"
  done < <(readme_commands "Run it" | grep '^curl ')
  [[ $count -ge 2 ]] || fail "the README shows $count curl commands, not the length and the chunked one"
}

# The kvreg example of "The registry on Linux", run as it stands, sets the log and reads it back.
case_kvreg_example() {
  local commands out rc
  commands=$(readme_commands "Configuration" | sed -n '/^export KVLUMEN_REGISTRY/,/kvreg query/p')
  grep -q 'kvreg query' <<<"$commands" || { fail "the README's kvreg example is gone"; return 1; }
  out=$(cd "$CLONE" && bash -euc "$commands" 2>&1)
  rc=$?
  [[ $rc -eq 0 ]] || fail "the kvreg example exited $rc: $out"
  grep -qE "KVLUMEN.EventListener +REG_SZ +file,$CLONE/run/kvlisten.log,5" <<<"$out" ||
    fail "the kvreg example did not read the log setting back: $out"
}

# Ctrl+C (SIGINT) stops the host cleanly.
case_ctrl_c() {
  [[ -n $RUN_PID ]] || { fail "nothing runs"; return 1; }
  local pid=$RUN_PID
  RUN_PID=""
  ends_cleanly "$pid" INT ./run.sh || return 1
  [[ $(tail -n 1 "$RUN_OUT") == 'kvlisten: stopped' ]] || fail "the last line is not 'kvlisten: stopped': $(tail -n 1 "$RUN_OUT")"
}

echo "readme_e2e: $SRC (work folder $WORK)"
run_case Readme.FreshClone case_clone
if [[ -d $CLONE ]]; then
  run_case Readme.LayoutListsEveryFolder case_layout
  run_case Readme.RunShOptions case_run_options
  run_case Readme.FirstRunBuildsAndListens case_first_run
  run_case Readme.CurlCommandsDeliver case_curl_commands
  run_case Readme.KvregExample case_kvreg_example
  run_case Readme.CtrlCStops case_ctrl_c
fi
e2e_summary
