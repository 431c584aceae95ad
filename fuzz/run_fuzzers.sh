#!/usr/bin/env bash
# Usage: run_fuzzers.sh BUILD_DIR [SECONDS]
# Runs every fuzzer that the build lists in BUILD_DIR/fuzzers.txt (fuzz_NAME,
# seeded from seeds_NAME/) for SECONDS each (default 30) on a scratch copy of
# its seeds, so the checked-in corpora stay small. Any finding
# (crash, sanitizer report, leak, timeout, out of memory) fails the run; its
# reproducer is kept under BUILD_DIR/fuzz-findings/.
set -euo pipefail
build=${1:?usage: run_fuzzers.sh BUILD_DIR [SECONDS]}
secs=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

list=$build/fuzzers.txt
if [[ ! -s $list ]]; then
  echo "run_fuzzers: $list is missing (configure with -DPEMU_FUZZ=ON)" >&2
  exit 2
fi
mapfile -t fuzzers <"$list"

failed=0
for f in "${fuzzers[@]}"; do
  bin=$build/fuzz_$f
  if [[ ! -x $bin || ! -d $here/seeds_$f ]]; then
    echo "run_fuzzers: $bin or its seeds $here/seeds_$f are missing" >&2
    exit 2
  fi
  mkdir -p "$work/$f/corpus" "$work/$f/found"
  cp "$here/seeds_$f"/* "$work/$f/corpus/"
  echo "== fuzz_$f: ${secs}s"
  # Stdout is closed: the library's diagnostics would drown the report.
  rc=0
  "$bin" -max_total_time="$secs" -close_fd_mask=1 -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$work/$f/found/" \
    "$work/$f/corpus" >"$work/$f/log" 2>&1 || rc=$?
  grep -E '^Done [0-9]+ runs|stat::number_of_executed_units|stat::peak_rss_mb' "$work/$f/log" || true
  if [[ $rc -ne 0 ]] || [[ -n "$(ls -A "$work/$f/found")" ]]; then
    failed=1
    echo "fuzz_$f: FINDING (exit $rc)" >&2
    tail -n 60 "$work/$f/log" >&2
    mkdir -p "$build/fuzz-findings"
    cp "$work/$f/found"/* "$build/fuzz-findings/" 2>/dev/null || true
  fi
done
exit $failed
