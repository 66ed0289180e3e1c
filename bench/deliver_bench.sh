#!/usr/bin/env bash
# Delivery benchmark: the release `tolvex` and s-nail side by side, each
# sending one message with an attachment of 10 MiB and 100 MiB (and 2 GiB
# with --big; it needs 2 GiB of disk, not of memory) to a discarding local
# SMTP sink (tools/smtp_sink.py --discard on 127.0.0.120:25, so run as
# root). Prints wall time, CPU time (user + sys) and peak resident memory,
# each the median of RUNS runs (default 3), then the CPU ratio, and the
# wall time of a plain one-recipient session (paced by the 100 ms tick,
# 1.6 s at the least); then the peak memory of a 1 MiB Japanese body (code
# page 932 for tolvex, the same text in UTF-8 for s-nail) and of printing
# the version, beside s-nail's.
#   TOLVEX_BIN   the program (otherwise the release preset is built)
#   RUNS         runs per case
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
address=127.0.0.120
runs=${RUNS:-3}
sizes=(10 100)
[[ ${1:-} == --big ]] && sizes+=(2048)

if [[ -z ${TOLVEX_BIN:-} ]]; then
  cmake --preset release -S "$root" >/dev/null
  cmake --build --preset release --target tolvex -j "$(nproc)" >/dev/null
  TOLVEX_BIN=$root/build/release/src/platform/posix/tolvex
fi
need=()
[[ -x /usr/bin/time ]] || need+=(time)
command -v s-nail >/dev/null || need+=(s-nail)
if ((${#need[@]})); then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null
fi

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

field() {  # field FILE LABEL: a value of /usr/bin/time -v
  sed -n "s/^[[:space:]]*$2: //p" "$1"
}
wall_seconds() {  # "h:mm:ss" or "m:ss.ss" to seconds
  awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }' <<<"$1"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# measure DIR CMD...: runs CMD in DIR under /usr/bin/time -v, appends
# "wall cpu rss_kib" to DIR/results.
measure() {
  local dir=$1
  shift
  (cd "$dir" && /usr/bin/time -v -o "$dir/time.txt" "$@" </dev/null >/dev/null 2>"$dir/err.txt") || {
    echo "bench: $* failed in $dir" >&2
    cat "$dir/err.txt" "$dir/LOG.txt" >&2 2>/dev/null || true
    exit 1
  }
  local t=$dir/time.txt
  local wall user sys rss
  wall=$(wall_seconds "$(field "$t" "Elapsed (wall clock) time (h:mm:ss or m:ss)")")
  user=$(field "$t" "User time (seconds)")
  sys=$(field "$t" "System time (seconds)")
  rss=$(field "$t" "Maximum resident set size (kbytes)")
  echo "$wall $(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }') $rss" >>"$dir/results"
}
summary() {  # summary DIR: the medians "wall cpu rss_mib"
  local r=$1/results
  echo "$(cut -d' ' -f1 "$r" | median) $(cut -d' ' -f2 "$r" | median)" \
       "$(cut -d' ' -f3 "$r" | median | awk '{ printf "%.1f", $1 / 1024 }')"
}

printf '%-10s %-8s %8s %8s %10s\n' attachment program wall CPU "peak RSS"
for mib in "${sizes[@]}"; do
  data=$work/data-$mib.bin
  head -c $((mib * 1024 * 1024)) /dev/urandom >"$data"
  t=$work/tolvex-$mib
  s=$work/snail-$mib
  mkdir -p "$t" "$s"
  ln -s "$data" "$t/big.bin"
  ln -s "$data" "$s/big.bin"
  printf '#LOC=bench.local\r\n#HOS=%s\r\n#TO=sink@example.jp\r\n#ATT=big.bin\r\n\r\nbenchmark\r\n' \
    "$address" >"$t/command.txt"
  for _ in $(seq "$runs"); do
    measure "$t" "$TOLVEX_BIN"
    # s-nail without any resource file, sending synchronously over SMTP.
    measure "$s" s-nail -:/ -S v15-compat -S "mta=smtp://$address:25" -S smtp-auth=none -S sendwait \
      -S from=bench@bench.local -s benchmark -a big.bin sink@example.jp
  done
  read -r tw tc tr <<<"$(summary "$t")"
  read -r sw sc sr <<<"$(summary "$s")"
  printf '%-10s %-8s %7.2fs %7.2fs %8.1f MiB\n' "$mib MiB" tolvex "$tw" "$tc" "$tr"
  printf '%-10s %-8s %7.2fs %7.2fs %8.1f MiB\n' "" s-nail "$sw" "$sc" "$sr"
  awk -v a="$tc" -v b="$sc" 'BEGIN { if (b > 0) printf "%-10s CPU tolvex / s-nail: %.2f\n", "", a / b }'
  rm -f "$data"
done

p=$work/plain
mkdir -p "$p"
printf '#LOC=bench.local\r\n#HOS=%s\r\n#TO=sink@example.jp\r\n\r\nplain one-recipient session\r\n' \
  "$address" >"$p/command.txt"
for _ in $(seq "$runs"); do measure "$p" "$TOLVEX_BIN"; done
read -r pw pc pr <<<"$(summary "$p")"
printf 'plain one-recipient session: wall %.2fs, CPU %.2fs, peak RSS %.1f MiB\n' "$pw" "$pc" "$pr"

# A 1 MiB Japanese body: the same lines, code page 932 in command.txt for
# tolvex and UTF-8 on standard input for s-nail.
t=$work/tolvex-body
s=$work/snail-body
mkdir -p "$t" "$s"
python3 - "$t/command.txt" "$s/body.txt" "$address" <<'PY'
import sys
line = "表ソ能の件：本日の売上報告書を送ります。詳細は添付をご覧ください。"
lines, size = [], 0
while size < 1024 * 1024:
    lines.append(line)
    size += len(line.encode("cp932")) + 2
head = f"#LOC=bench.local\r\n#HOS={sys.argv[3]}\r\n#TO=sink@example.jp\r\n\r\n"
open(sys.argv[1], "wb").write(head.encode() + "\r\n".join(lines).encode("cp932") + b"\r\n")
open(sys.argv[2], "wb").write("\n".join(lines).encode("utf-8") + b"\n")
PY
for _ in $(seq "$runs"); do
  measure "$t" "$TOLVEX_BIN"
  (cd "$s" && /usr/bin/time -v -o "$s/time.txt" s-nail -:/ -S v15-compat -S "mta=smtp://$address:25" \
    -S smtp-auth=none -S sendwait -S from=bench@bench.local -s benchmark sink@example.jp \
    <body.txt >/dev/null 2>&1)
  echo "0 0 $(field "$s/time.txt" "Maximum resident set size (kbytes)")" >>"$s/results"
done
read -r _ _ tr <<<"$(summary "$t")"
read -r _ _ sr <<<"$(summary "$s")"
printf '1 MiB Japanese body: peak RSS tolvex %.1f MiB, s-nail %.1f MiB\n' "$tr" "$sr"

v=$work/version
mkdir -p "$v/t" "$v/s"
for _ in $(seq "$runs"); do
  measure "$v/t" "$TOLVEX_BIN" --version
  (cd "$v/s" && /usr/bin/time -v -o "$v/s/time.txt" s-nail -V >/dev/null 2>&1)
  echo "0 0 $(field "$v/s/time.txt" "Maximum resident set size (kbytes)")" >>"$v/s/results"
done
read -r _ _ tr <<<"$(summary "$v/t")"
read -r _ _ sr <<<"$(summary "$v/s")"
printf 'version only: peak RSS tolvex %.1f MiB, s-nail %.1f MiB\n' "$tr" "$sr"
