#!/usr/bin/env bash
# readme_e2e.sh -- the README's commands as a new user meets them: in a fresh git clone of this checkout, where nothing is built yet.
#
#   readme_e2e.sh SOURCE_DIR
#
# Clones the checkout's committed state into a temporary folder, checks that the README's layout
# names every top-level folder, then runs the README's commands there: ./run.sh (with a port of
# our own instead of 8080, so that no other run collides with it) and its --help, both curl
# commands and the look into the spool, the kvreg examples (the Redis ones in a store of their
# own, so that the running listener never turns to a Redis server), and Ctrl+C. Every command of
# the README is accounted for: those that need the installed package are run by
# tests/package/package_test.sh, the Windows service's by tests/e2e/wine_e2e.sh (this test
# checks that they are there), and ./test.sh is the runner of this very test; any other command
# fails the test until a test runs it. Loopback traffic only; everything it starts is ended, the
# clone removed. Prints one line per case, then "N passed, N failed"; exits non-zero when a case
# failed.
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

# The README's commands: its lines indented by four blanks outside fenced blocks, each as
# "SECTION<TAB>COMMAND", where SECTION is the heading ("##" or "###") above it.
readme_all_commands() {
  awk '
    /^```/ { fenced = !fenced; next }
    fenced { next }
    /^##+ / { section = $0; sub(/^#+ /, "", section); next }
    /^    [^ ]/ { line = $0; sub(/^    /, "", line); print section "\t" line }' "$CLONE/README.md"
}
# The commands of one section (its own heading only).
readme_commands() { readme_all_commands | awk -F '\t' -v s="$1" '$1 == s { print $2 }'; }

# Which test runs a command: native (here), package, windows, self; "" for none.
command_kind() {
  case $1 in
    ./run.sh*|curl\ *|"ls run/"*|build/native/bin/*|export\ KVLUMEN_REGISTRY=*) echo native ;;
    sudo\ *|systemctl\ *|journalctl\ *|packaging/build-deb.sh*|"grep -c "*|"ls /var/"*|"ls -l /dev/shm"*) echo package ;;
    kvlisten.exe\ *|net\ *) echo windows ;;
    ./test.sh) echo self ;;
    *) echo "" ;;
  esac
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

# Every command of the README is run by some test: here, by the package test, or by the Wine
# test (which must contain it).
case_every_command_accounted() {
  local section command kind count=0
  while IFS=$'\t' read -r section command; do
    count=$((count + 1))
    kind=$(command_kind "$command")
    case $kind in
      "") fail "no test runs the README's command '$command' ($section)" ;;
      package) grep -qF 'readme_package_commands' "$CLONE/tests/package/package_test.sh" ||
                 fail "the package test does not run the README's commands ('$command')" ;;
      windows)
        local words=${command#kvlisten.exe }
        grep -qE "(kvlisten\.exe\" |wine_run )$words" "$CLONE/tests/e2e/wine_e2e.sh" ||
          fail "tests/e2e/wine_e2e.sh does not run '$command'" ;;
    esac
  done < <(readme_all_commands)
  echo "    $count commands: $(readme_all_commands | while IFS=$'\t' read -r _ c; do command_kind "$c"; done | sort | uniq -c | tr -s ' \n' ' ')"
}

# ./run.sh --help prints the usage; an option without its value is a clear error, exit 2.
case_run_options() {
  local out rc
  readme_commands "Run it" | grep -qx './run.sh --help' || fail "the README no longer shows ./run.sh --help"
  out=$(cd "$CLONE" && ./run.sh --help 2>&1)
  rc=$?
  [[ $rc -eq 0 ]] && grep -q '^usage: ./run.sh' <<<"$out" || fail "./run.sh --help exited $rc: $(head -n 2 <<<"$out")"
  for option in --port --listen --interfaces --wine; do
    grep -q -- "$option" <<<"$out" || fail "./run.sh --help does not name $option"
  done
  out=$(cd "$CLONE" && ./run.sh --port 2>&1)
  rc=$?
  [[ $rc -eq 2 ]] && grep -q -- '--port needs a port number' <<<"$out" || fail "./run.sh --port exited $rc: $out"
  out=$(cd "$CLONE" && ./run.sh --port=70000 2>&1)
  rc=$?
  [[ $rc -eq 2 ]] && grep -q -- '--port 70000: not a port number' <<<"$out" || fail "./run.sh --port=70000 exited $rc: $out"
  [[ ! -e $CLONE/build ]] || fail "a bad command line built something"
}

run_announced_or_gone() { grep -q '^kvlisten: listening on port ' "$RUN_OUT" || process_gone "$RUN_PID"; }

# The README's first command builds from nothing, showing its progress, registers, and listens
# (on our port, given as --port=N).
case_first_run() {
  readme_commands "Run it" | grep -qx './run.sh' || fail "the README no longer starts with ./run.sh"
  ADDRESS=$(listener_address) || { fail "no loopback address for the host name"; return 1; }
  PORT=$(free_port "$ADDRESS") || { fail "no free port"; return 1; }
  (cd "$CLONE" && exec ./run.sh --port="$PORT") >"$RUN_OUT" 2>&1 </dev/null &
  RUN_PID=$!
  if ! wait_until 900 run_announced_or_gone || ! grep -q "^kvlisten: listening on port $PORT " "$RUN_OUT"; then
    fail "./run.sh did not get to listen on port $PORT"
    return 1
  fi
  grep -qE '^   \[ *[0-9]+%\] Building' "$RUN_OUT" || fail "./run.sh showed no build progress"
  [[ -f $CLONE/build/native/bin/KVEvRedis.so ]] || fail "./run.sh did not build the Redis event manager"
  echo "    $(grep '^kvlisten: listening' "$RUN_OUT")"
}

# Every curl command of "Run it", as it stands but for the port, delivers the sample: curl prints
# the DeliverResponse and run/spool holds the sample byte for byte; the look into the spool shows
# the files.
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
  while IFS= read -r command; do
    out=$(cd "$CLONE" && bash -c "$command" 2>&1)
    grep -q '^event-[0-9]\{20\}\.xml$' <<<"$out" || fail "'$command' shows no event file: $out"
  done < <(readme_commands "Run it" | grep '^ls ')
}

# The kvreg example of "Configure it", run as it stands, sets the log and reads it back.
case_kvreg_example() {
  local commands out rc
  commands=$(readme_commands "Configure it" | grep -v '^sudo ')
  grep -q 'kvreg query' <<<"$commands" || { fail "the README's kvreg example is gone"; return 1; }
  out=$(cd "$CLONE" && bash -euc "$commands" 2>&1)
  rc=$?
  [[ $rc -eq 0 ]] || fail "the kvreg example exited $rc: $out"
  grep -qE "KVLUMEN.EventListener +REG_SZ +file,$CLONE/run/kvlisten.log,5" <<<"$out" ||
    fail "the kvreg example did not read the log setting back: $out"
}

# The Redis commands register the module and store its settings -- in a store of their own, so
# that the running listener never looks for that Redis server.
case_redis_commands() {
  local commands out rc store=$WORK/redis.reg
  commands=$(readme_commands 'Delivering into a Redis stream (`KVEvRedis`, Linux only)')
  [[ -n $commands ]] || { fail "the README's Redis commands are gone"; return 1; }
  out=$(cd "$CLONE" && KVLUMEN_REGISTRY=$store bash -euc "$commands" 2>&1)
  rc=$?
  [[ $rc -eq 0 ]] || fail "the Redis commands exited $rc: $out"
  grep -qF "$CLONE/build/native/bin/KVEvRedis.so" "$store" || fail "KVEvRedis.so is not registered in $store"
  grep -qiF '"address"="redis.example.net:6379"' "$store" || fail "the Redis address is not set in $store"
}

# Ctrl+C (SIGINT) stops the host cleanly.
case_ctrl_c() {
  [[ -n $RUN_PID ]] || { fail "nothing runs"; return 1; }
  local pid=$RUN_PID
  RUN_PID=""
  ends_cleanly "$pid" INT ./run.sh || return 1
  [[ $(grep '^kvlisten: ' "$RUN_OUT" | tail -n 1) == 'kvlisten: stopped' ]] || fail "the last line is not 'kvlisten: stopped': $(tail -n 1 "$RUN_OUT")"
}

echo "readme_e2e: $SRC (work folder $WORK)"
run_case Readme.FreshClone case_clone
if [[ -d $CLONE ]]; then
  run_case Readme.LayoutListsEveryFolder case_layout
  run_case Readme.EveryCommandIsRun case_every_command_accounted
  run_case Readme.RunShOptions case_run_options
  run_case Readme.FirstRunBuildsAndListens case_first_run
  run_case Readme.CurlCommandsDeliver case_curl_commands
  run_case Readme.KvregExample case_kvreg_example
  run_case Readme.RedisCommands case_redis_commands
  run_case Readme.CtrlCStops case_ctrl_c
fi
e2e_summary
