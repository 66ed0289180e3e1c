#!/usr/bin/env bash
# One-command demonstration on a fresh machine (run as root: it installs
# packages and listens on port 25):
#   1. installs the build dependencies (tools/install-deps.sh) and builds
#      the release `tolvex`;
#   2. starts a local SMTP receiver on 127.0.0.1:25 that prints every
#      message it receives (decoded headers, the text in UTF-8, attachment
#      names and sizes);
#   3. writes a sample Shift_JIS command.txt (Japanese subject and body, one
#      attachment, two recipients, CR LF) into a temporary folder and runs
#      `tolvex` there;
#   4. shows LOG.txt and stops the receiver.
# Set TOLVEX_BIN to use an already built program and skip steps 1 and the build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
address=127.0.0.1

if [[ $(id -u) -ne 0 ]]; then
  echo "demo: run as root (package installation and port 25)" >&2
  exit 1
fi

if [[ -z ${TOLVEX_BIN:-} ]]; then
  echo "== installing dependencies and building (release) =="
  bash "$root/tools/install-deps.sh" --core
  cmake --preset release -S "$root" >/dev/null
  cmake --build --preset release --target tolvex -j "$(nproc)"
  TOLVEX_BIN=$root/build/release/src/platform/posix/tolvex
fi

work=$(mktemp -d /tmp/tolvex-demo-XXXXXX)
sink_pid=
cleanup() {
  if [[ -n $sink_pid ]] && kill -0 "$sink_pid" 2>/dev/null; then
    kill -TERM "$sink_pid" 2>/dev/null || true
    wait "$sink_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== starting the receiver on $address:25 =="
python3 "$root/tools/smtp_sink.py" --print --address "$address" --ready "$work/.ready" &
sink_pid=$!
for _ in $(seq 100); do
  [[ -e $work/.ready ]] && break
  kill -0 "$sink_pid" 2>/dev/null || { echo "demo: the receiver did not start (port 25 busy?)" >&2; exit 1; }
  sleep 0.1
done
rm -f "$work/.ready"

echo "== writing command.txt (Shift_JIS, CR LF) and the attachment in $work =="
python3 - "$work" "$address" <<'EOF'
import os, sys
work, address = sys.argv[1], sys.argv[2]
csv = "品名,数量,単価\r\nりんご,3,120\r\nみかん,10,40\r\n表示ソフト,1,9800\r\n"
with open(os.path.join(work, "見積書.csv"), "wb") as f:
    f.write(csv.encode("cp932"))
lines = [
    "#LOC=demo.localdomain",
    f"#HOS={address}",
    "#FRO=送信係 <sender@example.jp>",
    "#TO=yamada@example.jp, suzuki@example.jp",
    "#SUB=お見積りの送付について",
    "#ATT=見積書.csv",
    "",
    "山田様、鈴木様",
    "",
    "いつもお世話になっております。",
    "ご依頼のお見積りを添付ファイルでお送りします。",
    "ご確認のほど、よろしくお願いいたします。",
    "",
    "送信係",
]
with open(os.path.join(work, "command.txt"), "wb") as f:
    f.write(b"".join(l.encode("cp932") + b"\r\n" for l in lines))
EOF

echo "== running tolvex =="
status=0
(cd "$work" && "$TOLVEX_BIN") || status=$?
echo "tolvex exit status: $status"

echo "== LOG.txt =="
if [[ -f $work/LOG.txt ]]; then cat -v "$work/LOG.txt"; else echo "(no LOG.txt)"; fi
echo "== files left in the work folder =="
ls -1 "$work"
exit "$status"
