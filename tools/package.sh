#!/usr/bin/env bash
# Builds the Debian packages of the shipped i386 library and of the same
# library for amd64 (the same SONAME, version node and exports), side by
# side in build/i386 and build/amd64, and checks each with
# tools/check-install.sh: installed, linted, driven against the simulator.
# Needs root (apt-get, dpkg -i) on Debian or Ubuntu.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/ensure-deps.sh
ensure_deps
ensure_i386_exec
export ECR_EMULATOR=$ECR_I386_EMULATOR
for preset in i386 amd64; do
  echo "=== $preset ==="
  if [ "$preset" = i386 ]; then
    cmake --preset i386 -DCMAKE_CROSSCOMPILING_EMULATOR="$ECR_I386_EMULATOR" >/dev/null
  else
    cmake --preset amd64 >/dev/null
  fi
  cmake --build "build/$preset" -j"$(nproc)" --target ecrbridge ecrcli ecrsim man_pages deb_changelogs >/dev/null
  (cd "build/$preset" && cpack -G DEB --config CPackConfig.cmake >/dev/null && ls "$PWD"/*.deb)
  tools/check-install.sh "build/$preset"
done
# One library, two architectures: the same exported names under the same node.
exports() { objdump -T "build/$1/libecrbridge.so" | awk 'NF >= 6 && $2 == "g" && $4 != "*UND*" && $4 != "*ABS*" {print $(NF-1), $NF}' | sort; }
diff <(exports i386) <(exports amd64) >/dev/null || { diff <(exports i386) <(exports amd64) | head; echo "the exports differ"; exit 1; }
echo "i386 and amd64 export the same names under the same version node"
