#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, in parallel,
# starting from its seed corpus in tests/fuzz/corpus/<name> when there is one.
# Usage: scripts/run-fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1
seconds=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pids=()
names=()
for target in "$build"/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=$work/$name
  mkdir -p "$corpus"
  seeds=tests/fuzz/corpus/${name#fuzz_}
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/$name-" "$corpus" >"$work/$name.log" 2>&1 &
  pids+=($!)
  names+=("$name")
done

failed=0
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then
    echo "${names[$i]}: $(grep -Eo 'Done [0-9]+ runs.*' "$work/${names[$i]}.log" | tail -n 1)"
  else
    echo "${names[$i]}: FAILED"
    tail -n 60 "$work/${names[$i]}.log"
    failed=1
  fi
done
echo "== fuzz: ${#names[@]} targets run for ${seconds}s each"
exit $failed
