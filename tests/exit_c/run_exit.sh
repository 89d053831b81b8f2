#!/bin/sh
# Starts the terminal simulator, runs exit_main in one mode against it and
# checks that the process ended with status 0, not by a signal:
#   run_exit.sh ECRSIM EXIT_MAIN LIB MODE
# ECR_EMULATOR, when set, runs the 32-bit programs (e.g. qemu-i386).
set -eu
sim=$1 prog=$2 lib=$3 mode=$4
emu=${ECR_EMULATOR:-}
dir=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
extra=
[ "$mode" = message ] && extra="--sms HELLO"
# shellcheck disable=SC2086
$emu "$sim" --tcp 127.0.0.1:0 --delay-ms 500 $extra > "$dir/sim.out" 2>&1 &
pid=$!
i=0
while ! grep -q 'listening' "$dir/sim.out" 2>/dev/null; do
  i=$((i + 1))
  [ "$i" -lt 200 ] || { echo "the simulator did not start"; cat "$dir/sim.out"; exit 1; }
  sleep 0.05
done
port=$(sed -n 's/^ecrsim listening on tcp .*:\([0-9]*\)$/\1/p' "$dir/sim.out")
cd "$dir"
status=0
# shellcheck disable=SC2086
$emu "$prog" "$lib" "$port" "$mode" > out.txt 2> err.txt || status=$?
cat out.txt err.txt
[ "$status" -eq 0 ] || { echo "exit_main $mode ended with status $status"; exit 1; }
if grep -q 'terminate called\|Resource deadlock\|AddressSanitizer\|runtime error' err.txt; then
  echo "exit_main $mode reported an error at exit"; exit 1
fi
# A payment still running at exit or unload is not torn from under its
# thread: the exit waits for it, and it ends through its callback.
case $mode in
  callback|after|return|dlclose|running|dlclose-running) grep -q '^callback 0$' out.txt ;;
  message) grep -q '^message HELLO$' out.txt ;;
esac
