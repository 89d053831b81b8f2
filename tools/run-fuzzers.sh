#!/usr/bin/env bash
# Runs every libFuzzer harness of the fuzz build for SECONDS each, on a
# scratch copy of its seed corpus (fuzz/corpus/<harness>/), and fails on any
# finding.  Prints executions per second and total executions per harness.
#   tools/run-fuzzers.sh SECONDS
# Build first: cmake --preset fuzz && cmake --build --preset fuzz
# ECR_FUZZ_BUILD_DIR overrides the build directory (default build/fuzz).
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: $0 SECONDS" >&2
  exit 2
fi

build=${ECR_FUZZ_BUILD_DIR:-build/fuzz}
list="$build/fuzz/harnesses.txt"
if [ ! -f "$list" ]; then
  echo "no harness list at $list: configure and build with the fuzz preset first" >&2
  exit 2
fi

artifacts="$build/fuzz/artifacts"
mkdir -p "$artifacts"
work=$(mktemp -d /tmp/ecr-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT

failed=0
total=0
while IFS= read -r name; do
  [ -n "$name" ] || continue
  total=$((total + 1))
  bin="$build/fuzz/$name"
  if [ ! -x "$bin" ]; then
    echo "$name: FAILED (not built: $bin)"
    failed=$((failed + 1))
    continue
  fi
  corpus="$work/$name"
  rm -rf "$artifacts/$name"
  mkdir -p "$corpus" "$artifacts/$name"
  if [ -d "fuzz/corpus/$name" ]; then
    cp -R "fuzz/corpus/$name/." "$corpus/"
  fi
  log="$work/$name.log"
  "$bin" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name/" "$corpus" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  found=$(find "$artifacts/$name" -type f | wc -l)
  if [ $rc -ne 0 ] || [ "$found" -ne 0 ]; then
    failed=$((failed + 1))
    echo "$name: FAILED (exit $rc, $found finding(s) in $artifacts/$name)"
    tail -n 60 "$log"
  else
    echo "$name: ${execs:-0} executions, ${rate:-0} exec/s in ${seconds}s"
  fi
done <"$list"

if [ "$total" -eq 0 ]; then
  echo "no harnesses listed in $list" >&2
  exit 2
fi
echo "fuzz: $((total - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
