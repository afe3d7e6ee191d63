#!/usr/bin/env bash
# The vesk binary's command line: exact usage and version texts, the exit
# statuses of start-up errors, and the refusal to run without root.
set -u
VESK="${VESK_BUILD:-build}/vesk"
fail=0
tmp=$(mktemp -d /tmp/vesk-cli-test.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

check() {  # name expected actual
  if [ "$2" != "$3" ]; then echo "FAIL: $1: expected [$2] got [$3]"; fail=1; else echo "ok: $1"; fi
}

cat > "$tmp/usage" <<'TXT'
Welcome to Vesk v.1.0.260720

Usage:
vesk -q <id> [-r <file>][-p <zmq>][-h][-H][-v][-V]

NETFILTER
[-q|--queue-id <id>[:<num>]]     | NF_QUEUE queueId and number
[-s|--skip-ct-reset]             | Skip conntrack reset at startup
[-F|--flow-limit <num>]          | Flows tracked per queue at most. Default: 262144

EXPORT
[-z|--zmq-flow-endpoint <url>]   | ZMQ flows collection endpoint (corvane)
                                 | Multiple -z are supported (fan-out)
[-j|--json]                      | Export messages in JSON format (instead of TLV)
[-y|--zmq-encryption-key <key>]  | Encrypt ZMQ data using the specified public key
[-u|--flow-update <sec>]         | Refresh flows every <sec> seconds. Default: 60
[-f|--flush]                     | Flush flows immediately over ZMQ

POLICY
[-r|--rules <path>]              | Policy file (JSON rules) path
[-p|--zmq-policy-endpoint <url>] | Policy ZMQ publisher endpoint (corvane)

MISC
[-v|--verbose]                   | Verbose
[-V|--version]                   | Print application version
[-h|--help]                      | Print this help
[-H|--usage]                     | Verbose help

Example with policy file:
vesk -q 0 -r policy.json

Example with corvane:
vesk -q 0 -z tcp://127.0.0.1:5556 -p tcp://127.0.0.1:5557
corvane -i tcp://127.0.0.1:5556c --zmq-publish-events tcp://127.0.0.1:5557
TXT
printf 'Vesk v.1.0.260720 (r815)\nVersion:       1.0.260720\n' > "$tmp/version"

# Exact texts, exit 0.
for args in "-h" "--help" "-k x" "-q 0 -O tcp"; do
  out=$("$VESK" $args); rc=$?
  check "usage text for '$args'" "$(cat "$tmp/usage")" "$out"
  check "exit status for '$args'" 0 $rc
done
out=$("$VESK" -u 7 -k x)
check "usage shows the current flow-update period" \
  "[-u|--flow-update <sec>]         | Refresh flows every <sec> seconds. Default: 7" \
  "$(echo "$out" | grep -F -- '--flow-update')"
out=$("$VESK" -V); rc=$?
check "version text" "$(cat "$tmp/version")" "$out"
check "version exit status" 0 $rc
out=$("$VESK" --version -q 0); rc=$?
check "version wins over -q" "$(cat "$tmp/version")" "$out"

# Start-up errors: a message on standard error and exit 1, before anything
# runs (no queue is bound: these need no root).
errors() {  # expected-stderr arguments...
  local expect=$1; shift
  "$VESK" "$@" > "$tmp/out" 2> "$tmp/err"; local rc=$?
  check "exit status for '$*'" 1 $rc
  grep -q -- "$expect" "$tmp/err" && echo "ok: stderr for '$*'" \
    || { echo "FAIL: stderr for '$*': [$(cat "$tmp/err")]"; fail=1; }
}
errors "^vesk: No queue given: start vesk with -q"
errors "^vesk: No queue given" -s -v
errors "^vesk: Unrecognised option --bogus: not started" --bogus -q 0
errors "^vesk: Unrecognised option -x" -q 0 -x -r rules.json
errors "^vesk: Missing value for option --rules" -q 0 --rules
errors "^vesk: Invalid flow-update period 'abc'" -q 0 -u abc
errors "^vesk: Invalid flow limit '0'" -q 0 --flow-limit 0
errors "^vesk: Unexpected argument 'stray'" -q 0 stray
printf -- '-q 0\n--bogus\n-r /tmp/rules.json\n' > "$tmp/typo.conf"
errors "^vesk: Unrecognised option --bogus" "$tmp/typo.conf"

# Bad queue values: an error, exit 1.
for q in 70000 65535:2 abc 1:x -1; do
  out=$("$VESK" -q "$q" 2>&1); rc=$?
  check "exit status for -q $q" 1 $rc
  echo "$out" | grep -q "ERROR: Invalid" || { echo "FAIL: no error line for -q $q: $out"; fail=1; }
done

# Configuration file: too many entries -> 1 with the entries listed; unreadable -> 255.
for i in $(seq 1 32); do echo "-f"; done > "$tmp/too-many.conf"
out=$("$VESK" "$tmp/too-many.conf" 2>/dev/null); rc=$?
check "too many config entries exit status" 1 $rc
echo "$out" | grep -q "ERROR: Too many options (32)" && echo "$out" | grep -q "ERROR: \[31\]\[-f\]" \
  && echo "ok: too many entries are listed" || { echo "FAIL: entries not listed: $out"; fail=1; }
"$VESK" "$tmp/does-not-exist.conf" > "$tmp/out" 2>/dev/null; rc=$?
check "unreadable config exit status" 255 $rc
grep -q "ERROR: Unable to read config file $tmp/does-not-exist.conf" "$tmp/out" \
  && echo "ok: unreadable config error" || { echo "FAIL: $(cat "$tmp/out")"; fail=1; }
printf -- '-V\n' > "$tmp/version.conf"
out=$("$VESK" "$tmp/version.conf"); rc=$?
check "config file options are applied" "$(cat "$tmp/version")" "$out"
printf -- '  -V\n' > "$tmp/indented.conf"
out=$("$VESK" "$tmp/indented.conf"); rc=$?
check "indented config line is applied" "$(cat "$tmp/version")" "$out"
: > "$tmp/empty.conf"
"$VESK" "$tmp/empty.conf" > /dev/null 2>&1; rc=$?
check "empty config exit status" 1 $rc
head -c 512 /dev/urandom | tr -d '\n' > "$tmp/binary.conf"
"$VESK" "$tmp/binary.conf" > /dev/null 2>&1; rc=$?
check "binary config exit status" 1 $rc

# Not root: exit 1 with the error line (run as nobody when we are root).
# nobody may not reach the build (a checkout under /root, mode 700): it runs
# a copy of vesk and its libraries from the test's own directory.
if [ "$(id -u)" -eq 0 ]; then
  chmod 755 "$tmp"
  mkdir "$tmp/bin"
  cp "$VESK" "$tmp/bin/vesk"
  ldd "$VESK" | awk '$3 ~ /^\// {print $3}' | while read -r lib; do
    case "$lib" in /lib/*|/usr/*) ;; *) cp "$lib" "$tmp/bin/" ;; esac
  done
  chmod -R a+rX "$tmp/bin"
  out=$(LD_LIBRARY_PATH="$tmp/bin" setpriv --reuid=nobody --regid=nogroup --clear-groups \
    "$tmp/bin/vesk" -q 0 -s 2> "$tmp/err"); rc=$?
else
  out=$("$VESK" -q 0 -s 2> "$tmp/err"); rc=$?
fi
grep -q "^vesk: Fatal error: please start this application as root$" "$tmp/err" \
  && echo "ok: not root error on standard error" || { echo "FAIL: not root stderr: $(cat "$tmp/err")"; fail=1; }
check "not root exit status" 1 $rc
echo "$out" | grep -Eq '^[0-9]{2}/[A-Z][a-z]{2}/[0-9]{4} [0-9:]{8} \[main\.cpp:[0-9]+\] ERROR: Fatal error: please start this application as root$' \
  && echo "ok: not root error line" || { echo "FAIL: not root line: $out"; fail=1; }

exit $fail
