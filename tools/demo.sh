#!/usr/bin/env bash
# The demo: builds the shipped 32-bit library and the two tools, starts the
# terminal simulator on localhost, pays 12.34 through ecrcli (the library
# loaded as a cash register loads it), prints the result and the receipt,
# stops the simulator and exits with ecrcli's status.  Installs what it needs
# when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

. tools/ensure-deps.sh
ensure_deps
ensure_i386_exec
emu=$ECR_I386_EMULATOR

echo "=== building the 32-bit library, ecrsim and ecrcli (build/i386) ==="
cmake --preset i386 -DCMAKE_CROSSCOMPILING_EMULATOR="$emu" >/dev/null
cmake --build --preset i386 --target ecrbridge ecrsim ecrcli

bin=build/i386
logs=$bin/demo-log
mkdir -p "$logs"
out=$(mktemp)
$emu "$bin/ecrsim" --tcp 127.0.0.1:0 >"$out" 2>"$logs/ecrsim.err" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -f "$out"' EXIT

for _ in $(seq 100); do
  grep -q '^ecrsim listening on ' "$out" && break
  kill -0 "$sim" 2>/dev/null || { cat "$logs/ecrsim.err"; exit 1; }
  sleep 0.05
done
listening=$(head -n 1 "$out")
port=${listening##*:}
echo "=== $listening ==="
echo "=== ecrcli --tcp 127.0.0.1:$port purchase 12.34 (takes about 6 s) ==="

status=0
$emu "$bin/ecrcli" --tcp "127.0.0.1:$port" --log-dir "$logs" purchase 12.34 || status=$?

echo "=== ecrcli exit status: $status; the library's log is in $logs/ ==="
exit "$status"
