#!/usr/bin/env bash
# Builds the "fuzz" preset (clang, libFuzzer, AddressSanitizer + UBSan) and
# runs each fuzz target for a bounded time or number of executions, then
# merges the inputs that add coverage into tests/fuzz/corpus/<target>/.
# Not part of CI: the ordinary builds replay the committed corpora.
#
#   tools/fuzz.sh [--time SECONDS | --runs N] [--parallel P] [TARGET...]
#
# --time: seconds per target (default 60); --runs: executions per target;
# --parallel: targets run at once (default 1). Targets: command_file
# sjis_text text_file header_text smtp_session token_reply (default all). A target that
# finds a crash or a broken invariant leaves the input in
# build/fuzz/artifacts/<target>/ and makes the script exit 1. Logs:
# build/fuzz/logs/<target>.log (and .merge.log); the "#N DONE" line of each
# run is printed.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=60)
parallel=1
targets=()
while (($#)); do
  case $1 in
    --time) limit=(-max_total_time="$2"); shift 2 ;;
    --runs) limit=(-runs="$2"); shift 2 ;;
    --parallel) parallel=$2; shift 2 ;;
    -h|--help) sed -n "2,15p" "$0" | cut -c3-; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 64 ;;
    *) targets+=("$1"); shift ;;
  esac
done
((${#targets[@]})) || targets=(command_file sjis_text text_file header_text smtp_session token_reply)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2

# Fewer stack traces kept per allocation and a smaller quarantine make the
# targets about twice as fast; replay a crash with the defaults for the
# allocation stacks.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=0:quarantine_size_mb=16}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

# Input sizes: a command file with a few small files, one header line, a
# text file, a dialogue of a few replies.
declare -A max_len=([command_file]=1024 [sjis_text]=256 [text_file]=4096 [header_text]=256
                    [smtp_session]=512)
root=$PWD
out=$root/build/fuzz
mkdir -p "$out/logs"

run_one() {
  local t=$1
  local bin=$out/tests/fuzz/fuzz_$t corpus=$root/tests/fuzz/corpus/$t fresh=$out/new/$t
  local artifacts=$out/artifacts/$t/ log=$out/logs/$t.log
  local dict=()
  [[ -f $root/tests/fuzz/$t.dict ]] && dict=(-dict="$root/tests/fuzz/$t.dict")
  rm -rf "$fresh"
  mkdir -p "$fresh" "$artifacts" "$corpus"
  local status=0
  # New inputs go to a scratch folder first; the merge keeps only those
  # that add coverage to the committed corpus.
  "$bin" "${limit[@]}" -max_len="${max_len[$t]:-4096}" "${dict[@]}" -entropic=0 -reduce_inputs=0 \
    -print_final_stats=1 \
    -artifact_prefix="$artifacts" "$fresh" "$corpus" >"$log" 2>&1 || status=$?
  "$bin" -merge=1 -max_len="${max_len[$t]:-4096}" "$corpus" "$fresh" >"$out/logs/$t.merge.log" 2>&1 || true
  local done_line
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  if ((status)); then
    echo "$t: FAILED (status $status), see $log and $artifacts"
    return 1
  fi
  echo "$t: ${done_line:-no DONE line, see $log}"
}

failed=0
running=0
for t in "${targets[@]}"; do
  [[ -x $out/tests/fuzz/fuzz_$t ]] || { echo "no fuzz target $t" >&2; exit 64; }
  run_one "$t" &
  running=$((running + 1))
  if ((running >= parallel)); then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while ((running > 0)); do
  wait -n || failed=1
  running=$((running - 1))
done
exit $failed
