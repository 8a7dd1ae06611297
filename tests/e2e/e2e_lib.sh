# e2e_lib.sh -- helpers shared by the end-to-end scripts: named cases and their tally, bounded waits, the loopback address and a free port, test bodies, response checks.
#
# Sourced, never run. Everything here uses only what a plain Debian system has besides our
# packages: bash, coreutils, diffutils, getent (libc-bin) and perl-base, which is Essential and
# brings sockets, so that a half-close needs no extra package.

E2E_PASSED=0
E2E_FAILED=0
E2E_FAILED_NAMES=()
E2E_CASE_OK=1
E2E_REFERENCE_RESPONSE=""

# ---- kvlisten's own lines ------------------------------------------------------------------------

# The port kvlisten announced ("kvlisten: listening on port N at ..." on stderr; older builds said
# "listening on port N" on stdout), from any of the files given; empty until it has.
kvlisten_announced_port() {
  sed -n -E 's/^(kvlisten: )?listening on port ([0-9]+).*/\2/p' "$@" 2>/dev/null | head -n 1
}

# What a kvlisten that ran cleanly does not write to stderr: every line other than its own notes
# of starting, listening, the loopback warning, the descriptor limit, the event manager and
# stopping, and the component's own warnings and failures (tagged KVLUMEN.EventListener[2]: ...,
# which cases look for themselves): a sanitizer's report, an error of the host.
kvlisten_foreign_lines() {
  grep -v -E '^kvlisten: (starting|listening|warning: printers on the network|open files|(warning: )?event manager|stopping|stopped)' "$1" |
    grep -v -E '^KV[A-Za-z.]+\[[0-9]+\]: '
}

# ---- cases --------------------------------------------------------------------------------------

# Records a failed check of the running case; the case goes on, so one run shows every symptom.
fail() {
  echo "    check failed: $*"
  E2E_CASE_OK=0
}

# Runs one case: run_case Area.Behaviour function [arguments...]. A case fails when any of its
# checks called fail; a case that gives up early calls fail first. Its return value is not looked
# at, so that a last test like "[[ ... ]] || fail" cannot fail it by accident. The lines mimic
# gtest's because test.sh counts results by gtest's summary lines: this way every case counts,
# and failed ones are named in test.sh's output.
run_case() {
  local name=$1
  shift
  echo "[ RUN      ] $name"
  E2E_CASE_OK=1
  local started
  started=$(date +%s%N)
  "$@"
  local ms=$((($(date +%s%N) - started) / 1000000))
  if [[ $E2E_CASE_OK -eq 1 ]]; then
    E2E_PASSED=$((E2E_PASSED + 1))
    echo "[       OK ] $name ($ms ms)"
  else
    E2E_FAILED=$((E2E_FAILED + 1))
    E2E_FAILED_NAMES+=("$name")
    # Each script defines e2e_diagnose: what the host printed and the tail of the component's log.
    declare -F e2e_diagnose >/dev/null && e2e_diagnose 2>&1 | sed 's/^/    | /'
    echo "[  FAILED  ] $name ($ms ms)"
  fi
}

# Prints the summary (gtest's lines for test.sh, then "N passed, N failed") and returns non-zero
# when a case failed.
e2e_summary() {
  echo "[==========] $((E2E_PASSED + E2E_FAILED)) tests ran."
  echo "[  PASSED  ] $E2E_PASSED tests."
  if [[ $E2E_FAILED -gt 0 ]]; then
    echo "[  FAILED  ] $E2E_FAILED tests, listed below:"
    local name
    for name in "${E2E_FAILED_NAMES[@]}"; do echo "[  FAILED  ] $name"; done
  fi
  echo "$E2E_PASSED passed, $E2E_FAILED failed"
  [[ $E2E_FAILED -eq 0 ]]
}

# ---- waits --------------------------------------------------------------------------------------

# wait_until SECONDS command...: polls the command every 0.1 s; false when the time ran out.
wait_until() {
  local deadline=$(($(date +%s%N) + $1 * 1000000000))
  shift
  until "$@"; do
    [[ $(date +%s%N) -ge $deadline ]] && return 1
    sleep 0.1
  done
  return 0
}

process_gone() { ! kill -0 "$1" 2>/dev/null; }

# ends_cleanly PID SIGNAL WHAT: sends SIGNAL (INT, TERM) to a process this shell started, gives it
# 10 s to end and reaps it; it must end in time with status 0, or the case fails, naming WHAT.
ends_cleanly() {
  local pid=$1 signal=$2 what=$3 rc
  kill -"$signal" "$pid" 2>/dev/null
  wait_until 10 process_gone "$pid" || { fail "$what still runs 10 s after SIG$signal"; return 1; }
  wait "$pid"
  rc=$?
  [[ $rc -eq 0 ]] || { fail "$what exited $rc after SIG$signal"; return 1; }
}

# Ends a process this script started, gently first; never waits longer than a few seconds.
stop_process() {
  local pid=$1
  [[ -n $pid ]] || return 0
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null
  wait_until 5 process_gone "$pid" || kill -KILL "$pid" 2>/dev/null
}

# ---- addresses and ports ------------------------------------------------------------------------

# The listener listens on the addresses to which the local host name resolves (not on every
# interface). Prints the loopback one among them, 127.0.0.1 preferred; fails when there is none,
# because these tests talk to loopback only.
listener_address() {
  local addresses address
  addresses=$(getent ahosts "$(uname -n)" | awk '{ print $1 }' | sort -u)
  if grep -qx '127.0.0.1' <<<"$addresses"; then echo 127.0.0.1; return 0; fi
  for address in $addresses; do
    case $address in
      127.*) echo "$address"; return 0 ;;
      ::1) echo "::1"; return 0 ;;
    esac
  done
  echo "host name $(uname -n) resolves to: $(tr "\n" " " <<<"$addresses")-- no loopback address among them" >&2
  return 1
}

# Lets the users a test plays (with setpriv) run the build: a build inside a folder that only its
# owner may enter -- a clone made in `mktemp -d` -- is copied, programs, modules and the POSIX
# layer, into DIR, and BIN and LD_LIBRARY_PATH name the copy (the build's run path stays closed to
# them). A build others can reach is used where it is.
bin_for_other_users() {
  local dir=$1
  setpriv --reuid=nobody --regid=nogroup --clear-groups test -r "$BIN/libkvposix.so" 2>/dev/null && return 0
  mkdir -p "$dir" && cp "$BIN"/kvlisten "$BIN"/kvreg "$BIN"/kvregsvr "$BIN"/libkvposix.so "$BIN"/KVEv*.so "$dir"/ &&
    chmod 0755 "$dir" || return 1
  BIN=$dir
  export LD_LIBRARY_PATH=$dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
}

url_host() { [[ $1 == *:* ]] && echo "[$1]" || echo "$1"; }

# Prints a port that is free on the address (nothing bound to it, no TIME_WAIT either), chosen at
# random below the usual ephemeral range so that no client's own port takes it meanwhile.
free_port() {
  perl -MIO::Socket::IP -e '
    my $host = shift;
    for (1 .. 200) {
      my $port = 20000 + int(rand(12000));
      my $s = IO::Socket::IP->new(LocalHost => $host, LocalPort => $port, Listen => 1, ReuseAddr => 0);
      if ($s) { close $s; print "$port\n"; exit 0 }
    }
    exit 1' "$1"
}

# True when a new listening socket can take the port on the address, as a restarted server would
# (with SO_REUSEADDR, so connections of the old one that wait out TIME_WAIT do not count).
port_free() {
  perl -MIO::Socket::IP -e '
    my $s = IO::Socket::IP->new(LocalHost => $ARGV[0], LocalPort => $ARGV[1], Listen => 1, ReuseAddr => 1);
    exit($s ? 0 : 1)' "$1" "$2"
}

# ---- raw clients ----------------------------------------------------------------------------------

# half_close_client ADDRESS PORT SECONDS OUT: connects, sends nothing, closes its sending side
# and writes what the server sends until the server closes. Exit 0 at the server's close, 3 when
# the time ran out, 2 when the connection failed.
half_close_client() {
  perl -MIO::Socket::IP -e '
    my ($host, $port, $secs, $out) = @ARGV;
    $SIG{ALRM} = sub { exit 3 };
    alarm $secs;
    my $s = IO::Socket::IP->new(PeerHost => $host, PeerPort => $port) or exit 2;
    shutdown($s, 1) or exit 4;
    open(my $fh, ">", $out) or exit 5;
    binmode $fh;
    my $buf;
    while (1) {
      my $n = sysread($s, $buf, 65536);
      exit 6 unless defined $n;
      last if $n == 0;
      print $fh $buf;
    }
    close $fh;
    exit 0' "$@"
}

# raw_exchange ADDRESS PORT SECONDS IN OUT: connects, sends the bytes of the file IN (none for an
# empty file) without closing its side, and writes what the server sends until the server closes.
# Exit 0 at the server's close, 3 when the time ran out, 2 when the connection failed.
raw_exchange() {
  perl -MIO::Socket::IP -e '
    my ($host, $port, $secs, $in, $out) = @ARGV;
    $SIG{ALRM} = sub { exit 3 };
    alarm $secs;
    my $s = IO::Socket::IP->new(PeerHost => $host, PeerPort => $port) or exit 2;
    open(my $src, "<", $in) or exit 5;
    binmode $src;
    local $/;
    my $data = <$src>;
    $data = "" unless defined $data;
    print $s $data;
    $s->flush;
    open(my $fh, ">", $out) or exit 5;
    binmode $fh;
    my $buf;
    while (1) {
      my $n = sysread($s, $buf, 65536);
      last if !defined $n || $n == 0;
      print $fh $buf;
    }
    close $fh;
    exit 0' "$@"
}

# ---- bodies -------------------------------------------------------------------------------------

# A Deliver message of about 6 KB, so that it arrives over several receives.
make_length_body() {
  perl -e '
    print qq{<?xml version="1.0" encoding="UTF-8"?>\r\n<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/">\r\n<SOAP-ENV:Body><Deliver>\r\n};
    printf qq{<Event seq="%04d" type="JobCompleted"><Device>e2e-printer</Device><Pages>%d</Pages></Event>\r\n}, $_, $_ * 3 for 1 .. 70;
    print qq{</Deliver></SOAP-ENV:Body>\r\n</SOAP-ENV:Envelope>\r\n};' >"$1"
}

# A body of SIZE bytes of CRLF-terminated lines that carry UTF-8 text and raw bytes 0x80-0xFF,
# and lines that begin with "0" (so that CRLF 0 also occurs inside the data). No NUL.
make_chunked_body() {
  perl -e '
    my $size = shift;
    my $out = "";
    my $high = join("", map { chr } 0x80 .. 0xFF);
    my $n = 0;
    while (length($out) < $size) {
      $n++;
      $out .= ($n % 7 == 0 ? "0" : "L") . sprintf("%06d ", $n)
            . ($n % 5 == 0 ? $high : "Gr\xc3\xbc\xc3\x9fe \xe2\x82\xac \xe6\x97\xa5\xe6\x9c\xac <Status>ok</Status>")
            . "\r\n";
    }
    binmode STDOUT;
    print substr($out, 0, $size);' "$2" >"$1"
}

# UTF-8 text, then every byte value from 0x01 to 0xFF once (no NUL).
make_high_byte_body() {
  perl -e '
    binmode STDOUT;
    print "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Deliver><Status>",
          "Gr\xc3\xbc\xc3\x9fe aus K\xc3\xb6ln \xe2\x80\x94 \xe2\x82\xac 5, \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e, \xf0\x9f\x96\xa8",
          "</Status><Raw>", join("", map { chr } 1 .. 255), "</Raw></Deliver>";' >"$1"
}

# ---- checks ---------------------------------------------------------------------------------------

# check_response FILE LABEL: the whole of what curl -i printed (or a raw client received) is the
# fixed 628-byte DeliverResponse: status line, a length header that matches its 460-byte body, and
# byte for byte the same as every other response of this run.
check_response() {
  local file=$1 label=$2 size
  size=$(stat -c %s "$file" 2>/dev/null || echo 0)
  if [[ $size -ne 628 ]]; then
    fail "$label: response is $size bytes, not 628; first bytes: $(head -c 120 "$file" 2>/dev/null | od -An -c | head -3 | tr -s ' ')"
    return 1
  fi
  if [[ $(head -c 17 "$file") != $'HTTP/1.1 200 OK\r' ]]; then
    fail "$label: response does not start with HTTP/1.1 200 OK: $(head -c 40 "$file" | od -An -c | tr -s ' ')"
    return 1
  fi
  if ! perl -e '
      local $/; open(my $f, "<", $ARGV[0]) or exit 1; binmode $f; my $r = <$f>;
      my $end = index($r, "\r\n\r\n"); exit 2 if $end < 0;
      my $head = substr($r, 0, $end + 2); my $body = substr($r, $end + 4);
      exit 3 unless $head =~ /\r\nContent-Length: (\d+)\r\n/ && $1 == length($body);
      exit 4 unless $body =~ m{<m:DeliverResponse xmlns:m="[^"]+">\r\n</m:DeliverResponse>};
      exit 0' "$file"; then
    fail "$label: response is not a DeliverResponse whose Content-Length matches its body"
    return 1
  fi
  if [[ -z $E2E_REFERENCE_RESPONSE ]]; then
    E2E_REFERENCE_RESPONSE=$file
  elif ! cmp -s "$file" "$E2E_REFERENCE_RESPONSE"; then
    fail "$label: response differs from the first one of this run: $(cmp "$file" "$E2E_REFERENCE_RESPONSE" 2>&1)"
    return 1
  fi
  return 0
}

# check_log_clean LOG [EXPECTED]: the component's log recorded no failure (level 1) and no
# warning (level 2), apart from lines matching the extended regular expression EXPECTED (the
# failures a case provoked on purpose).
check_log_clean() {
  local bad
  [[ -s $1 ]] || { fail "the component log $1 is empty or missing"; return 1; }
  bad=$(grep -E ',\[[0-9]+:[0-9]+/[12]\] ' "$1" | grep -v -E "${2:-^\$}" | head -n 5)
  [[ -z $bad ]] || fail "the component log records failures or warnings: $bad"
}

# Spool helpers: the delivered messages are the files event-<20 digits>.xml; their numbers grow,
# so the name order is the arrival order.
spool_count() { find "$1" -maxdepth 1 -name 'event-????????????????????.xml' | wc -l; }
spool_newest() { find "$1" -maxdepth 1 -name 'event-????????????????????.xml' | sort | tail -n 1; }
spool_has_at_least() { [[ $(spool_count "$1") -ge $2 ]]; }

# check_spooled SPOOL COUNT_BEFORE EXPECTED_FILE LABEL: exactly one new message appears (within
# 15 s) and holds exactly the expected bytes.
check_spooled() {
  local spool=$1 before=$2 expected=$3 label=$4 newest
  if ! wait_until 15 spool_has_at_least "$spool" $((before + 1)); then
    fail "$label: no message was spooled within 15 s (spool holds $(spool_count "$spool"), had $before)"
    return 1
  fi
  sleep 0.2  # a second, unexpected message would show up now
  if [[ $(spool_count "$spool") -ne $((before + 1)) ]]; then
    fail "$label: expected exactly one new message, the spool went from $before to $(spool_count "$spool")"
  fi
  newest=$(spool_newest "$spool")
  if ! cmp -s "$newest" "$expected"; then
    fail "$label: spooled $(basename "$newest") ($(stat -c %s "$newest") bytes) differs from the body ($(stat -c %s "$expected") bytes): $(cmp "$newest" "$expected" 2>&1 | head -1)"
    return 1
  fi
  return 0
}

# check_curl_chunks TRACE BODY: curl's --trace-ascii shows the body went out in several chunks.
# Every "Send data" block of a chunked upload begins with the chunk's size line; the sizes must
# add up to the body, and the blocks' lengths to the body plus the framing (size line, CRLF after
# the data) plus the last chunk "0" CRLF CRLF.
check_curl_chunks() {
  local trace=$1 body=$2 result
  result=$(perl -e '
    my ($trace, $size) = @ARGV;
    open(my $t, "<", $trace) or die "no trace\n";
    my ($chunks, $sum, $sent, $framing, $last, $expect) = (0, 0, 0, 0, 0, 0);
    while (<$t>) {
      if (/^=> Send data, (\d+) bytes/) { $sent += $1; $expect = 1; next }
      if ($expect) {
        $expect = 0;
        if (/^0000: ([0-9a-fA-F]+)\s*$/) {
          my $n = hex($1);
          if ($n == 0) { $last = 1; $framing += 5 }
          else { $chunks++; $sum += $n; $framing += length($1) + 4 }
        }
      }
    }
    print "$chunks $sum $sent $framing $last\n";' "$trace" "$(stat -c %s "$body")")
  local chunks sum sent framing last size
  read -r chunks sum sent framing last <<<"$result"
  size=$(stat -c %s "$body")
  echo "    curl sent $chunks data chunks ($sum bytes of body, $sent bytes of chunked data in all)"
  [[ ${chunks:-0} -ge 2 ]] || fail "curl sent ${chunks:-0} data chunks, not several (trace: $trace)"
  [[ ${sum:-0} -eq $size ]] || fail "chunk sizes add up to ${sum:-0}, the body has $size bytes"
  [[ ${last:-0} -eq 1 ]] || fail "no last chunk (size 0) in the trace"
  [[ ${sent:-0} -eq $((size + ${framing:-0})) ]] || fail "curl sent ${sent:-0} bytes of data, expected $size + ${framing:-0} of framing"
}

# deliver_sample NAME LABEL: the README's sample as a printer sends it (the script's curl_printer):
# the 609-byte response, and exactly the sample in the spool.
deliver_sample() {
  local before
  before=$(spool_count "$SPOOL")
  curl_printer "$1" "$SRC/samples/deliver.xml" -H 'Content-Type: text/xml' || fail "$2: curl exited $?"
  check_response "$WORK/responses/$1" "$2"
  check_spooled "$SPOOL" "$before" "$SRC/samples/deliver.xml" "$2"
}

# A 300 KB body that curl sends in several chunks: the 609-byte response, and the spool holds the
# body exactly.
send_chunked_request() {
  local body=$WORK/bodies/chunked.bin before
  make_chunked_body "$body" 300000
  before=$(spool_count "$SPOOL")
  curl_printer chunked "$body" -H 'Transfer-Encoding: chunked' -H 'Content-Type: text/xml' \
    --trace-ascii "$WORK/chunked.trace" || fail "curl exited $?: $(cat "$WORK/responses/chunked.err")"
  check_curl_chunks "$WORK/chunked.trace" "$body"
  check_response "$WORK/responses/chunked" "chunked mode"
  check_spooled "$SPOOL" "$before" "$body" "chunked mode"
}

# UTF-8 text and every byte value 0x01-0xFF: the response, and the body unchanged in the spool.
send_high_bytes_request() {
  local body=$WORK/bodies/high.bin before
  make_high_byte_body "$body"
  before=$(spool_count "$SPOOL")
  curl_printer high "$body" -H 'Content-Type: text/xml; charset=utf-8' || fail "curl exited $?"
  check_response "$WORK/responses/high" "high bytes"
  check_spooled "$SPOOL" "$before" "$body" "high bytes"
}

# The failures and warnings that the cases below provoke on purpose (see check_log_clean).
PROVOKED_BY_LIMITS='refused with 413|sent no complete request within'

# nothing_spooled SPOOL BEFORE LABEL: a moment later the spool still holds BEFORE messages.
nothing_spooled() {
  sleep 0.5
  [[ $(spool_count "$1") -eq $2 ]] || fail "$3: something was spooled: $(spool_newest "$1")"
}

# A monitor's GET gets 200 with one line naming the listener and its port and one saying what its
# health is, HEAD the headers alone; nothing is spooled.
send_get_and_head() {
  local before out=$WORK/responses/get expected
  before=$(spool_count "$SPOOL")
  curl -s -i --max-time 30 "http://$(url_host "$ADDRESS"):$PORT/" >"$out" 2>"$out.err" || fail "curl GET exited $?"
  expected="KVLUMEN.Listener listening on port $PORT"
  [[ $(head -n 1 "$out" | tr -d '\r') == "HTTP/1.1 200 OK" ]] || fail "GET: status line is $(head -n 1 "$out")"
  grep -qi $'^Content-Type: text/plain\r$' "$out" || fail "GET: no Content-Type text/plain: $(head -c 300 "$out")"
  [[ $(tail -n 2 "$out" | head -n 1 | tr -d '\r') == "$expected" ]] || fail "GET: body is '$(tail -n 2 "$out")', not '$expected'"
  [[ $(tail -n 1 "$out" | tr -d '\r') == "ok: "* ]] || fail "GET: health is '$(tail -n 1 "$out")', not ok"
  curl -s -I --max-time 30 "http://$(url_host "$ADDRESS"):$PORT/health" >"$out.head" 2>&1 || fail "curl HEAD exited $?"
  [[ $(head -n 1 "$out.head" | tr -d '\r') == "HTTP/1.1 200 OK" ]] || fail "HEAD: status line is $(head -n 1 "$out.head")"
  grep -q "listening on port" "$out.head" && fail "HEAD: the answer has a body"
  nothing_spooled "$SPOOL" "$before" "GET and HEAD"
}

# A body over maxRequestKB (512 here): curl gets 413 and nothing is spooled; a level-2 line names
# the peer and the size.
send_oversize_request() {
  local body=$WORK/bodies/oversize.bin before code
  make_chunked_body "$body" 600000
  before=$(spool_count "$SPOOL")
  code=$(curl -s -o "$WORK/responses/oversize" -w '%{http_code}' --max-time 30 -H 'Content-Type: text/xml' \
    --data-binary @"$body" "http://$(url_host "$ADDRESS"):$PORT/" 2>"$WORK/responses/oversize.err")
  [[ $code == 413 ]] || fail "a 600000-byte body got HTTP status '$code', not 413 (curl: $(cat "$WORK/responses/oversize.err"))"
  nothing_spooled "$SPOOL" "$before" "oversize"
  wait_until 10 grep -qE ',\[[0-9]+:[0-9]+/2\] .*HandlingProc : .* sent a request of 6[0-9]{5} bytes, over the limit of 512 KB' "$LOG" ||
    fail "no level-2 line about the refused request in the log"
}

# curl asks "Expect: 100-continue" and waits 60 s for it, longer than it may run: the listener's
# interim answer lets the body go at once, and the message is spooled.
send_expect_continue() {
  local body=$WORK/bodies/expect.bin before
  make_chunked_body "$body" 100000
  before=$(spool_count "$SPOOL")
  curl_printer expect "$body" -H 'Expect: 100-continue' --expect100-timeout 60 --max-time 20 ||
    fail "curl exited $? (28: it waited for a 100 Continue that never came)"
  check_spooled "$SPOOL" "$before" "$body" "Expect: 100-continue"
}

# A peer that connects and half-closes without sending a byte (a port probe) gets no answer, and
# nothing is spooled.
send_nothing_then_half_close() {
  local before rc
  before=$(spool_count "$SPOOL")
  half_close_client "$ADDRESS" "$PORT" 20 "$WORK/responses/half-close"
  rc=$?
  [[ $rc -eq 0 ]] || fail "the half-closing client ended with $rc (3: no close from the listener within 20 s)"
  [[ ! -s $WORK/responses/half-close ]] || fail "the listener answered $(stat -c %s "$WORK/responses/half-close") bytes"
  nothing_spooled "$SPOOL" "$before" "half-close"
}
