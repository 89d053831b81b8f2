#!/usr/bin/env bash
# Runs every libFuzzer harness of the fuzz build and fails on any finding.
#
#   tools/run-fuzzers.sh SECONDS         a short run of each harness (CI): on a
#                                        scratch copy of its corpus
#                                        (fuzz/corpus/<harness>/)
#   tools/run-fuzzers.sh --minutes M     a campaign: each harness M minutes;
#                                        inputs that add coverage are merged
#                                        back into fuzz/corpus/<harness>/ (with
#                                        -merge=1), every finding is kept there
#                                        as a regression seed, and the campaign
#                                        is added to fuzz/CAMPAIGNS.md
#
# Prints executions per second and total executions per harness.  With more
# than eight harnesses two run at a time.
# Build first: cmake --preset fuzz && cmake --build --preset fuzz
# ECR_FUZZ_BUILD_DIR overrides the build directory (default build/fuzz).
set -uo pipefail
cd "$(dirname "$0")/.."

campaign=0
if [ "${1:-}" = --minutes ]; then
  if ! [[ "${2:-}" =~ ^[0-9]+$ ]] || [ "$2" -eq 0 ]; then
    echo "usage: $0 SECONDS | $0 --minutes M" >&2
    exit 2
  fi
  campaign=1
  seconds=$(($2 * 60))
else
  seconds=${1:-}
  if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: $0 SECONDS | $0 --minutes M" >&2
    exit 2
  fi
fi

build=${ECR_FUZZ_BUILD_DIR:-build/fuzz}
unit_timeout=10
[ "$campaign" = 1 ] && unit_timeout=60
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
  # A campaign runs beside other work (often at low priority): a harness
  # that is not scheduled for seconds must not count as hung.
  "$bin" -max_total_time="$seconds" -timeout="$unit_timeout" -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name/" "$corpus" >"$log" 2>&1
  local rc=$?
  local execs rate found
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  found=$(find "$artifacts/$name" -type f | wc -l)
  echo "${execs:-0}" >"$work/$name.execs"
  echo "$found" >"$work/$name.found"
  if [ "$campaign" = 1 ]; then
    campaign_keep "$name" "$bin" "$corpus"
  fi
  if [ $rc -ne 0 ] || [ "$found" -ne 0 ]; then
    { echo "$name: FAILED (exit $rc, $found finding(s) in $artifacts/$name)"; tail -n 60 "$log"; } >"$out"
    echo 1 >"$work/$name.rc"
  else
    echo "$name: ${execs:-0} executions, ${rate:-0} exec/s in ${seconds}s" >"$out"
    echo 0 >"$work/$name.rc"
  fi
}

# A campaign keeps what it learnt: the inputs of the scratch corpus that add
# coverage go into the harness's corpus in the repository, and so does every
# input that made the harness fail, as a seed that keeps the fault fixed.
campaign_keep() {
  local name=$1 bin=$2 scratch=$3 repo="fuzz/corpus/$1" before after f
  mkdir -p "$repo"
  before=$(find "$repo" -type f | wc -l)
  "$bin" -merge=1 "$repo" "$scratch" >"$work/$name.merge.log" 2>&1
  for f in "$artifacts/$name"/*; do
    [ -f "$f" ] && cp "$f" "$repo/regression-$(sha1sum "$f" | cut -c1-16)"
  done
  after=$(find "$repo" -type f | wc -l)
  echo $((after - before)) >"$work/$name.new"
}

# Adds the campaign's line to fuzz/CAMPAIGNS.md and renews the running total.
campaign_record() {
  local file=fuzz/CAMPAIGNS.md execs=0 new=0 found=0 name total
  for name in "${names[@]}"; do
    execs=$((execs + $(cat "$work/$name.execs" 2>/dev/null || echo 0)))
    new=$((new + $(cat "$work/$name.new" 2>/dev/null || echo 0)))
    found=$((found + $(cat "$work/$name.found" 2>/dev/null || echo 0)))
  done
  if [ ! -f "$file" ]; then
    cat >"$file" <<'HEAD'
# Fuzzing campaigns

Each line is one run of `tools/run-fuzzers.sh --minutes M`: every harness for
M minutes from its corpus in `fuzz/corpus/<harness>/`, the inputs that added
coverage merged back into that corpus, and every input that made a harness
fail kept there as `regression-*`.

Total executions: 0

| date (UTC) | harnesses | minutes each | executions | new corpus inputs | findings |
|---|---|---|---|---|---|
HEAD
  fi
  echo "| $(date -u '+%Y-%m-%d %H:%M') | ${#names[@]} | $((seconds / 60)) | $execs | $new | $found |" >>"$file"
  total=$(awk -F'|' '/^\| 20[0-9][0-9]-/ { gsub(/ /, "", $5); s += $5 } END { printf "%d", s }' "$file")
  sed -i "s/^Total executions: .*/Total executions: $total/" "$file"
  echo "campaign: $execs executions, $new new corpus inputs, $found finding(s); $total executions in all (fuzz/CAMPAIGNS.md)"
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

[ "$campaign" = 1 ] && campaign_record

failed=0
for name in "${names[@]}"; do
  cat "$work/$name.result"
  [ "$(cat "$work/$name.rc" 2>/dev/null)" = 0 ] || failed=$((failed + 1))
done
total=${#names[@]}
echo "fuzz: $((total - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
