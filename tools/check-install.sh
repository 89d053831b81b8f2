#!/usr/bin/env bash
# Checks a build (the shipped 32-bit one, or the amd64 one) as an integrator
# meets it:
#  1. installs it into a temporary prefix; checks the SONAME, the version node
#     of every export, the platform floor (glibc, no libstdc++ requirement)
#     and that the shipped object carries no debug information;
#  2. builds examples/pay.c against the installed files with nothing but
#     `pkg-config --cflags --libs ecrbridge`, and examples/ as a CMake project
#     with find_package(ecrbridge); runs both against the simulator;
#  3. builds the Debian packages of its architecture, shows dpkg-deb
#     --info/--contents, runs lintian, installs them with dpkg -i, opens
#     "libecrbridge.so" by name from a program of that architecture, runs
#     `ecrcli --help`, and removes them again.
# Usage: tools/check-install.sh [BUILD_DIR]   (default build/i386, built;
# build/amd64 for the 64-bit one)
# 32-bit programs run through $ECR_EMULATOR (empty where i386 runs natively).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(cd "${1:-build/i386}" && pwd)
if readelf -h "$build/libecrbridge.so" 2>/dev/null | grep -q 'Class: *ELF64'; then
  arch=amd64 m32=
else
  arch=i386 m32=-m32
fi

need=()
command -v pkg-config >/dev/null || need+=(pkg-config)
command -v lintian >/dev/null || need+=(lintian)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v objdump >/dev/null || need+=(binutils)
if [ "$arch" = i386 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    need+=(update)
  fi
  # dpkg-shlibdeps and dpkg -i need the i386 C and C++ runtime packages.
  for p in libc6:i386 libstdc++6:i386 libgcc-s1:i386; do
    dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
  done
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]/update/}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ${need[@]/update/} >/dev/null
fi

if [ "$arch" = amd64 ]; then
  ECR_EMULATOR=
elif [ -z "${ECR_EMULATOR+set}" ]; then
  probe=$(mktemp -d)
  echo 'int main(void){return 0;}' > "$probe/p.c"
  gcc -m32 "$probe/p.c" -o "$probe/p"
  if "$probe/p" 2>/dev/null; then ECR_EMULATOR=; else ECR_EMULATOR=qemu-i386; fi
  rm -rf "$probe"
fi
export ECR_EMULATOR
run32() { $ECR_EMULATOR "$@"; }

work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then dpkg --purge libecrbridge1-dbg libecrbridge1 >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

cmake --build "$build" --target ecrbridge ecrcli ecrsim man_pages deb_changelogs >/dev/null

# ---- 1. Install into a temporary prefix -----------------------------------
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libecrbridge.so.1 -print -quit)")
lib=$libdir/libecrbridge.so.1
[ -L "$libdir/libecrbridge.so" ] || fail "no libecrbridge.so link in $libdir"
real=$(readlink -f "$lib")

soname=$(readelf -d "$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libecrbridge.so.1 ] || fail "SONAME is '$soname'"
# Every function and object the library defines carries ECRBRIDGE_1.0.
# objdump -T: ADDRESS g FLAGS SECTION SIZE VERSION NAME
defined() { objdump -T "$real" | awk 'NF >= 6 && $2 == "g" && $4 != "*UND*" && $4 != "*ABS*"'; }
unversioned=$(defined | awk '$(NF-1) != "ECRBRIDGE_1.0"')
[ -z "$unversioned" ] || fail "exports outside ECRBRIDGE_1.0:"$'\n'"$unversioned"
nexports=$(defined | wc -l)
[ "$nexports" -gt 0 ] || fail "no export under ECRBRIDGE_1.0"
objdump -T "$real" | grep -q GLIBCXX && fail "the library needs the system libstdc++"
glibc=$(objdump -T "$real" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1)
gcc_s=$(objdump -T "$real" | grep -o '(GCC_[0-9.]*' | tr -d '(' | sort -uV | tail -1)
readelf -S "$real" | grep -q '\.debug_info' && fail "the installed library carries debug information"
[ -n "$(find "$prefix/lib/debug/.build-id" -name '*.debug')" ] || fail "no separated debug information"
echo "installed: $soname, $nexports exports under ECRBRIDGE_1.0, needs $glibc and ${gcc_s:-no GCC_} (no GLIBCXX), $(stat -c %s "$real") bytes"

# ---- 2. Build against the installed files and pay through the simulator -----
export PKG_CONFIG_PATH=$libdir/pkgconfig
gcc $m32 -std=c99 -pedantic -Wall -Wextra -Werror "$src/examples/pay.c" \
    $(pkg-config --cflags --libs ecrbridge) -o "$work/pay-pc"
# The protocol header stands on its own in C as well.
gcc $m32 -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only $(pkg-config --cflags ecrbridge) \
    -x c "$prefix/include/ecrbridge_protocol.h"
cmake -S "$src/examples" -B "$work/pay-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="$m32" -DCMAKE_EXE_LINKER_FLAGS="$m32" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/pay-cmake" >/dev/null
for pay in "$work/pay-pc" "$work/pay-cmake/pay"; do
  LD_LIBRARY_PATH=$libdir sh "$src/examples/run_pay.sh" "$prefix/bin/ecrsim" "$pay" > "$work/pay.out" ||
    { cat "$work/pay.out"; fail "$pay did not pay"; }
done
echo "pay.c: built with pkg-config and with find_package(ecrbridge), both paid through ecrsim"

# ---- 3. The Debian packages ---------------------------------------------------
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" > "$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/deb/libecrbridge1_*_"$arch".deb)
dbg=$(ls "$work"/deb/libecrbridge1-dbg_*_"$arch".deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb" | awk '{print $1, $3, $6, $7, $8}'
dpkg-deb --contents "$dbg" | awk '$1 !~ /^d/ {print $1, $3, $6}'
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "not an $arch package"
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= ' || fail "no computed libc6 dependency"
# Errors and warnings fail; the tags overridden on purpose are listed with
# their reasons.
lintian_out=$(lintian --show-overrides "$deb" "$dbg" 2>&1 || true)
grep -E '^(E|W):' <<< "$lintian_out" && fail "lintian reports tags"
grep -E '^(N|O):' <<< "$lintian_out" || true
echo "lintian: no errors or warnings"

installed=1
dpkg -i "$deb" "$dbg" >/dev/null
cat > "$work/open.c" <<'EOF'
#include <dlfcn.h>
#include <stdio.h>
int main(void)
{
    char version[16];
    void* lib = dlopen("libecrbridge.so", RTLD_NOW | RTLD_LOCAL);
    int (*get_version)(char*);
    if (lib == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    *(void**)&get_version = dlsym(lib, "get_DLLVersion");
    if (get_version == NULL || get_version(version) != 0)
        return 1;
    printf("dlopen(\"libecrbridge.so\"): version %s\n", version);
    return 0;
}
EOF
gcc $m32 -std=c99 -Wall -Wextra -Werror "$work/open.c" -ldl -o "$work/open"
(cd "$work" && run32 ./open) | tee "$work/open.out"
grep -qx 'dlopen("libecrbridge.so"): version 1.0.1.0' "$work/open.out" || fail "dlopen by name failed"
help=$(run32 /usr/bin/ecrcli --help) || fail "ecrcli --help failed"
grep -q '^Usage: ecrcli' <<< "$help" || fail "ecrcli --help printed no usage"
files=$(dpkg -L libecrbridge1 libecrbridge1-dbg | grep -v '/$' | while read -r f; do [ -d "$f" ] || echo "$f"; done)
dpkg --purge libecrbridge1-dbg libecrbridge1 >/dev/null
installed=0
for f in $files; do
  [ ! -e "$f" ] && [ ! -L "$f" ] || fail "removal left $f behind"
done
dpkg-query -W libecrbridge1 >/dev/null 2>&1 && fail "libecrbridge1 is still known to dpkg"
echo "deb ($arch): installed with dpkg -i, opened by name, ecrcli --help ran, purged cleanly"
