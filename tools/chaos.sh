#!/usr/bin/env bash
# Seeded chaos: operations through the library's exports against ecrsim
# --chaos on TCP, UDP and the pseudo-terminal at once, each operation checked
# against the simulator's journal.  Ends with one summary line; exit 0 only
# with 0 violations.
#   tools/chaos.sh [--ops N] [--seed S] [--from N] [--rate R] [--links "tcp udp pty"]
#                  [--shards K] [--build DIR] [--smoke]
# --ops: operations per link (default 500).  --from N with the seed of a
# failure replays from operation N (the faults of an operation come from the
# seed and its number alone).  --shards K: each link's operations in K runs at
# once, each with its own simulator (the runs mostly wait: a purchase alone
# takes about 5 s of pauses).  --smoke: a fixed seed, 2 operations per link,
# for CI.
# Without --build it builds an x86_64 release tree in build/chaos.
set -euo pipefail
cd "$(dirname "$0")/.."

ops=500 seed=$(( $(date +%s) % 100000 )) from=1 rate=0.2 links="tcp udp pty" build= smoke=0 shards=1
while [ $# -gt 0 ]; do
  case $1 in
    --ops) ops=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --from) from=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --links) links=$2; shift 2 ;;
    --shards) shards=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --smoke) smoke=1; seed=2; ops=2; shift ;;
    *) echo "usage: tools/chaos.sh [--ops N] [--seed S] [--from N] [--rate R] [--links \"tcp udp pty\"] [--shards K] [--build DIR] [--smoke]" >&2
       exit 2 ;;
  esac
done

if [ -z "$build" ]; then
  . tools/ensure-deps.sh
  ensure_deps
  build=build/chaos
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DECR_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target ecrchaos ecrsim -j2 >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ecrchaos.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ "$smoke" = 1 ] && rm -rf "$work"
  return 0
}
trap cleanup EXIT
echo "chaos: seed $seed, operations $from..$((from + ops - 1)) per link on: $links; rate $rate; work in $work"
per=$(( (ops + shards - 1) / shards ))
runs=()
for link in $links; do
  for ((k = 0; k < shards; k++)); do
    first=$((from + k * per)) n=$per
    [ $((first + n)) -le $((from + ops)) ] || n=$((from + ops - first))
    [ "$n" -gt 0 ] || continue
    run=$link-$k
    mkdir -p "$work/$run"
    ${ECR_EMULATOR:-} "$build/ecrchaos" --ecrsim "$build/ecrsim" --link "$link" --seed "$seed" --from "$first" \
      --ops "$n" --rate "$rate" --work "$work/$run" >"$work/$run.out" 2>"$work/$run.err" &
    pids+=($!)
    runs+=("$run")
  done
done
status=0
for p in "${pids[@]}"; do wait "$p" || status=1; done
pids=()

for run in "${runs[@]}"; do
  grep -E '^(VIOLATION|  replay:)' "$work/$run.out" || true
  grep -q '^summary ' "$work/$run.out" || { echo "chaos: $run ended without a summary:"; tail -5 "$work/$run.out" "$work/$run.err"; status=1; }
done
# One line: the three links' counts added up.
cat "$work"/*.out | awk -v seed="$seed" -v links="$links" '
  /^summary / {
    links_ops[$2] += substr($3, index($3, "=") + 1)
    for (i = 3; i <= NF; i++) {
      split($i, kv, "=")
      if (kv[1] == "longest_s") { if (kv[2] + 0 > longest) longest = kv[2] + 0; continue }
      n[kv[1]] += kv[2]; if (!(kv[1] in seen)) { seen[kv[1]] = 1; order[++k] = kv[1] }
    }
  }
  END {
    f = ""; o = ""; ops = ""; per = ""
    for (l in links_ops) per = per (per == "" ? "" : ", ") l " " links_ops[l]
    for (i = 1; i <= k; i++) {
      key = order[i]
      if (key ~ /^fault\./ && n[key] > 0) f = f (f == "" ? "" : ", ") substr(key, 7) " " n[key]
      if (key ~ /^outcome\./) o = o (o == "" ? "" : ", ") substr(key, 9) " " n[key]
      if (key ~ /^op\./) ops = ops (ops == "" ? "" : ", ") substr(key, 4) " " n[key]
    }
    printf "chaos summary: seed %s; operations %d (%s; %s; longest %d s); faults injected %d (%s); outcomes: %s; violations %d (recoveries left unknown where the journal could tell: %d)\n",
      seed, n["operations"], per, ops, longest, n["faults"], f, o, n["violations"], n["unresolved"]
  }'
[ "$status" = 0 ] && ! grep -q '^VIOLATION' "$work"/*.out
