#!/usr/bin/env bash
# Runs every libFuzzer harness of the fuzz build for SECONDS each, on a
# scratch copy of its seed corpus (fuzz/corpus/<harness>/), and fails on any
# finding.  Prints executions per second and total executions per harness.
# With more than eight harnesses two run at a time.
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

# Runs one harness; its summary line (and on failure the tail of its log)
# goes to $work/<harness>.result, its outcome to $work/<harness>.rc.
run_one() {
  local name=$1 bin="$build/fuzz/$1" corpus="$work/$1" log="$work/$1.log" out="$work/$1.result"
  if [ ! -x "$bin" ]; then
    echo "$name: FAILED (not built: $bin)" >"$out"
    echo 1 >"$work/$name.rc"
    return
  fi
  rm -rf "$artifacts/$name"
  mkdir -p "$corpus" "$artifacts/$name"
  if [ -d "fuzz/corpus/$name" ]; then
    cp -R "fuzz/corpus/$name/." "$corpus/"
  fi
  "$bin" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name/" "$corpus" >"$log" 2>&1
  local rc=$?
  local execs rate found
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  found=$(find "$artifacts/$name" -type f | wc -l)
  if [ $rc -ne 0 ] || [ "$found" -ne 0 ]; then
    { echo "$name: FAILED (exit $rc, $found finding(s) in $artifacts/$name)"; tail -n 60 "$log"; } >"$out"
    echo 1 >"$work/$name.rc"
  else
    echo "$name: ${execs:-0} executions, ${rate:-0} exec/s in ${seconds}s" >"$out"
    echo 0 >"$work/$name.rc"
  fi
}

names=()
while IFS= read -r name; do
  [ -n "$name" ] && names+=("$name")
done <"$list"
if [ ${#names[@]} -eq 0 ]; then
  echo "no harnesses listed in $list" >&2
  exit 2
fi

# More than a handful of harnesses run two at a time (one per core), so that
# the whole run takes about half the harness count times SECONDS.
parallel=1
[ ${#names[@]} -gt 8 ] && parallel=2
running=0
for name in "${names[@]}"; do
  if [ "$running" -ge "$parallel" ]; then
    wait -n
    running=$((running - 1))
  fi
  run_one "$name" &
  running=$((running + 1))
done
wait

failed=0
for name in "${names[@]}"; do
  cat "$work/$name.result"
  [ "$(cat "$work/$name.rc" 2>/dev/null)" = 0 ] || failed=$((failed + 1))
done
total=${#names[@]}
echo "fuzz: $((total - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
