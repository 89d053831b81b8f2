#!/usr/bin/env bash
# Builds and runs the whole test suite: the shipped 32-bit library, the x86_64
# build under AddressSanitizer + UndefinedBehaviorSanitizer, the same suite
# under ThreadSanitizer, and a short run of every fuzz harness.
# Installs what it needs when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

. tools/ensure-deps.sh
ensure_deps tests
ensure_i386_exec
# The browser console's test runs in headless Chromium; without one it is skipped.
ensure_browser || true

jobs=${ECR_TEST_JOBS:-16}
for preset in i386 native; do
  echo "=== $preset ==="
  if [ "$preset" = i386 ]; then
    cmake --preset i386 -DCMAKE_CROSSCOMPILING_EMULATOR="$ECR_I386_EMULATOR" >/dev/null
  else
    cmake --preset "$preset" >/dev/null
  fi
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j "$jobs"
  if [ "$preset" = i386 ] && [ -f build/i386/outcome_matrix/table.txt ]; then
    echo "--- payment outcome under faults (the shipped library) ---"
    cat build/i386/outcome_matrix/table.txt
  fi
done

echo "=== tsan (the whole suite under ThreadSanitizer) ==="
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -j "$jobs"

if [ -f fuzz/CMakeLists.txt ]; then
  echo "=== fuzz ==="
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  tools/run-fuzzers.sh "${ECR_FUZZ_SECONDS:-12}"
fi

echo "=== bench (built, not run: tools/bench.sh runs them) ==="
dpkg -s libbenchmark-dev libspdlog-dev >/dev/null 2>&1 ||
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libbenchmark-dev libspdlog-dev; }
cmake --preset bench >/dev/null
cmake --build --preset bench

echo "=== install (temporary prefix, pkg-config, find_package, i386 .deb) ==="
ECR_EMULATOR="$ECR_I386_EMULATOR" tools/check-install.sh build/i386
