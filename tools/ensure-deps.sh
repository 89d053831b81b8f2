# Sourced by demo.sh and test.sh: installs from Debian's packages what the
# build needs when it is missing.  `ensure_deps tests` adds what the test
# script needs besides (clang and its sanitizer runtimes, nm).
ensure_deps() {
  local need=()
  command -v cmake >/dev/null || need+=(cmake)
  command -v g++ >/dev/null || need+=(g++)
  dpkg -s g++-multilib >/dev/null 2>&1 || need+=(g++-multilib)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
  for p in libcli11-dev nlohmann-json3-dev libboost-dev; do dpkg -s "$p" >/dev/null 2>&1 || need+=("$p"); done
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

# Decides how the 32-bit programs of the i386 build run on this host and says
# so in one line.  Sets ECR_I386_EMULATOR: empty when they run as they are
# (natively, or through an emulator registered with binfmt_misc), else the
# emulator that CMake and the scripts put in front of them.
# ECR_FORCE_EMULATOR=1 takes the emulator way even where they run natively.
ensure_i386_exec() {
  local dir
  dir=$(mktemp -d)
  printf 'int main(void) { return 0; }\n' >"$dir/probe.c"
  ECR_I386_EMULATOR=
  if ! gcc -m32 "$dir/probe.c" -o "$dir/probe"; then
    rm -rf "$dir"
    echo "cannot build a 32-bit program (g++-multilib)" >&2
    return 1
  fi
  if [ -z "${ECR_FORCE_EMULATOR:-}" ] && "$dir/probe" 2>/dev/null; then
    echo "32-bit programs: run natively"
    rm -rf "$dir"
    return 0
  fi
  if ! command -v qemu-i386 >/dev/null; then
    echo "installing: qemu-user"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user
  fi
  local qemu
  qemu=$(command -v qemu-i386)
  if [ -z "${ECR_FORCE_EMULATOR:-}" ] && [ -w /proc/sys/fs/binfmt_misc/register ]; then
    [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] ||
      printf '%s' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
        >/proc/sys/fs/binfmt_misc/register 2>/dev/null || true
    if "$dir/probe" 2>/dev/null; then
      echo "32-bit programs: through $qemu, registered with binfmt_misc"
      rm -rf "$dir"
      return 0
    fi
  fi
  ECR_I386_EMULATOR=$qemu
  echo "32-bit programs: through $qemu, put in front of each by CMake and the scripts"
  rm -rf "$dir"
}

# Installs what the browser test needs (Chromium, its WebDriver and Python's
# Selenium) when it is missing and this machine can install packages.
# Returns non-zero, without stopping a caller under `set -e` when called as
# `ensure_browser || true`, where no browser can be had; the browser test
# then reports itself skipped.
ensure_browser() {
  local need=()
  command -v chromium >/dev/null || need+=(chromium)
  command -v chromedriver >/dev/null || need+=(chromium-driver)
  # Debian's own Python, where python3-selenium lands (not a python3 earlier on PATH).
  /usr/bin/python3 -c 'import selenium' >/dev/null 2>&1 || need+=(python3-selenium)
  [ ${#need[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    echo "no browser for the browser test (missing: ${need[*]}; cannot install here)"
    return 1
  fi
  echo "installing: ${need[*]}"
  if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"; }; then
    echo "no browser for the browser test (installing ${need[*]} failed)"
    return 1
  fi
}
