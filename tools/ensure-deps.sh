# Sourced by demo.sh and test.sh: installs from Debian's packages what the
# build needs when it is missing.  `ensure_deps tests` adds what the test
# script needs besides (clang and its sanitizer runtimes, nm).
ensure_deps() {
  local need=()
  command -v cmake >/dev/null || need+=(cmake)
  command -v g++ >/dev/null || need+=(g++)
  dpkg -s g++-multilib >/dev/null 2>&1 || need+=(g++-multilib)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
  for p in libcli11-dev nlohmann-json3-dev; do dpkg -s "$p" >/dev/null 2>&1 || need+=("$p"); done
  if [ "${1:-}" = tests ]; then
    command -v clang++ >/dev/null || need+=(clang)
    dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
    command -v nm >/dev/null || need+=(binutils)
  fi
  if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
  fi
}
