#!/bin/sh
# A short soak: the whole mix of operations for 30 s against the simulator,
# sampled every 5 s.  The library must take every operation of the mix
# (none refused) and the run must end with its table.
#   run_soak_smoke.sh ECRSIM ECRSOAK     (both through $ECR_EMULATOR when set)
set -eu
emu=${ECR_EMULATOR:-}
dir=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
$emu "$1" --tcp 127.0.0.1:0 >"$dir/sim.out" &
pid=$!
i=0
while ! grep -q 'listening' "$dir/sim.out" 2>/dev/null; do
  i=$((i + 1))
  [ "$i" -lt 100 ] || { echo "the simulator did not start"; exit 1; }
  sleep 0.05
done
port=$(sed -n 's/^ecrsim listening on tcp .*:\([0-9]*\)$/\1/p' "$dir/sim.out")
status=0
$emu "$2" --tcp "127.0.0.1:$port" --minutes 0.5 --sample-seconds 5 --log-dir "$dir" >"$dir/soak.out" || status=$?
cat "$dir/soak.out"
grep -q ' 0 refused;' "$dir/soak.out"
grep -q '^| descriptors |' "$dir/soak.out"
# The verdict itself needs minutes of samples; a short run only reports it.
[ "$status" -le 1 ]
