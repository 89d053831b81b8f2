#!/usr/bin/env bash
# A long run of the library in one process against the terminal simulator:
# pings, service calls, purchases, cancels, interrupts and reopens, with the
# process's descriptors, threads, resident memory and the log writer's queue
# sampled every minute, then a table and a verdict (flat, or growing: exit 1).
#   tools/soak.sh [MINUTES] [SAMPLE_SECONDS]      (default 30 minutes, 60 s)
# It builds an x86_64 release tree in build/soak (the samples read /proc of
# the process itself, which an emulated 32-bit program does not show as its
# own).  Installs what it needs when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-30}
period=${2:-60}
. tools/ensure-deps.sh
ensure_deps

cmake -S . -B build/soak -DCMAKE_BUILD_TYPE=Release -DECR_BUILD_TESTS=OFF >/dev/null
cmake --build build/soak --target ecrsoak ecrsim -j2 >/dev/null

work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT
build/soak/ecrsim --tcp 127.0.0.1:0 >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
for _ in $(seq 100); do
  grep -q '^ecrsim listening on ' "$work/sim.out" && break
  sleep 0.05
done
port=$(sed -n 's/^ecrsim listening on tcp .*:\([0-9]*\)$/\1/p' "$work/sim.out")
[ -n "$port" ] || { echo "the simulator did not start"; cat "$work/sim.err"; exit 1; }
echo "soak: $minutes minutes against ecrsim on 127.0.0.1:$port, a sample every $period s"
build/soak/ecrsoak --tcp "127.0.0.1:$port" --minutes "$minutes" --sample-seconds "$period" --log-dir "$work"
