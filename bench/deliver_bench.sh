#!/usr/bin/env bash
# Delivery benchmark of the release `tolvex` against a discarding local
# SMTP sink (tools/smtp_sink.py --discard on 127.0.0.120:25, so run as root):
#   1. one message with a 100 MiB attachment: wall time, CPU time
#      (user + sys), peak resident memory, the size of the message on the
#      wire and the ratio of peak memory to it;
#   2. one plain one-recipient session: wall time (paced by the 100 ms tick).
# TOLVEX_BIN selects the program; otherwise the release preset is built.
# SIZE_MIB changes the attachment size (default 100).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
address=127.0.0.120
size_mib=${SIZE_MIB:-100}

if [[ -z ${TOLVEX_BIN:-} ]]; then
  cmake --preset release -S "$root" >/dev/null
  cmake --build --preset release --target tolvex -j "$(nproc)" >/dev/null
  TOLVEX_BIN=$root/build/release/src/platform/posix/tolvex
fi
[[ -x /usr/bin/time ]] || { echo "bench: /usr/bin/time missing (Debian package time)" >&2; exit 1; }

work=$(mktemp -d /tmp/tolvex-bench-XXXXXX)
sink_pid=
cleanup() {
  if [[ -n $sink_pid ]] && kill -0 "$sink_pid" 2>/dev/null; then
    kill -TERM "$sink_pid" 2>/dev/null || true
    wait "$sink_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

python3 "$root/tools/smtp_sink.py" --discard --address "$address" \
  --ready "$work/ready" --report "$work/report" >/dev/null &
sink_pid=$!
for _ in $(seq 100); do
  [[ -e $work/ready ]] && break
  kill -0 "$sink_pid" 2>/dev/null || { echo "bench: the sink did not start" >&2; exit 1; }
  sleep 0.1
done

# run NAME: runs tolvex in $work/NAME under /usr/bin/time -v.
run() {
  local dir=$work/$1
  (cd "$dir" && /usr/bin/time -v -o "$dir/time.txt" "$TOLVEX_BIN") || {
    echo "bench: tolvex failed in $1 (status $?)" >&2
    cat "$dir/LOG.txt" >&2 2>/dev/null || true
    exit 1
  }
}
field() {  # field FILE LABEL: a value of /usr/bin/time -v
  sed -n "s/^[[:space:]]*$2: //p" "$1"
}
wall_seconds() {  # "h:mm:ss" or "m:ss.ss" to seconds
  awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }' <<<"$1"
}

mkdir "$work/big" "$work/plain"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/big/big.bin"
printf '#LOC=bench.local\r\n#HOS=%s\r\n#TO=sink@example.jp\r\n#ATT=big.bin\r\n\r\nbenchmark\r\n' \
  "$address" >"$work/big/command.txt"
printf '#LOC=bench.local\r\n#HOS=%s\r\n#TO=sink@example.jp\r\n\r\nplain one-recipient session\r\n' \
  "$address" >"$work/plain/command.txt"

run big
run plain

read -r wire _ < <(sed -n 1p "$work/report")
t=$work/big/time.txt
user=$(field "$t" "User time (seconds)")
sys=$(field "$t" "System time (seconds)")
rss_kib=$(field "$t" "Maximum resident set size (kbytes)")
wall=$(wall_seconds "$(field "$t" "Elapsed (wall clock) time (h:mm:ss or m:ss)")")
plain_wall=$(wall_seconds "$(field "$work/plain/time.txt" "Elapsed (wall clock) time (h:mm:ss or m:ss)")")
plain_rss=$(field "$work/plain/time.txt" "Maximum resident set size (kbytes)")

awk -v mib="$size_mib" -v wire="$wire" -v wall="$wall" -v user="$user" -v sys="$sys" \
    -v rss="$rss_kib" -v pwall="$plain_wall" -v prss="$plain_rss" 'BEGIN {
  printf "attachment of %d MiB (%d bytes)\n", mib, mib * 1048576
  printf "  message on the wire:  %d bytes (%.1f MiB)\n", wire, wire / 1048576
  printf "  wall time:            %.2f s\n", wall
  printf "  CPU time (user+sys):  %.2f s (%.2f + %.2f)\n", user + sys, user, sys
  printf "  peak RSS:             %.1f MiB\n", rss / 1024
  printf "  peak RSS / message:   %.2f\n", rss * 1024 / wire
  printf "plain one-recipient session\n"
  printf "  wall time:            %.2f s\n", pwall
  printf "  peak RSS:             %.1f MiB\n", prss / 1024
}'
