#!/bin/sh
# Runs the example program against the terminal simulator and checks that the
# purchase is approved:  run_pay.sh ECRSIM PAY
# Both run through $ECR_EMULATOR when it is set (32-bit programs on a host
# that cannot run them natively).
set -eu
emu=${ECR_EMULATOR:-}
sim=$1
pay=$2
dir=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
# The terminal sends the card number in full; the program shows it masked.
$emu "$sim" --tcp 127.0.0.1:0 --pan 4111111111111111 > "$dir/sim.out" &
pid=$!
i=0
while ! grep -q 'listening' "$dir/sim.out" 2>/dev/null; do
  i=$((i + 1))
  [ "$i" -lt 100 ] || { echo "the simulator did not start"; exit 1; }
  sleep 0.05
done
port=$(sed -n 's/^ecrsim listening on tcp .*:\([0-9]*\)$/\1/p' "$dir/sim.out")
cd "$dir"
$emu "$pay" 127.0.0.1 "$port" 12.34 > pay.out
cat pay.out
grep -q '^response code: 00$' pay.out
grep -q '^outcome: approved (' pay.out
grep -q '^card: 411111\*\*\*\*\*\*1111$' pay.out
grep -q 'ОДОБРЕНО' pay.out
