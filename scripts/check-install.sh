#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds the outside project
# tests/install against it twice, with find_package and with pkg-config (the
# README's commands); both programs must link the build's library and start
# without LD_LIBRARY_PATH, finding it through their run path. Every installed
# header must also compile on its own as C++11.
#   scripts/check-install.sh BUILD_DIR LIBRARY [COMPILER_FLAG...]
# LIBRARY is zelp4x64 or zelp4; the flags (-m32) go to the outside project.
# With -m32 a 64-bit outside project must find no package there.
# Set RUNNER (qemu-i386) to run the programs under an emulator.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$1
library=$2
shift 2
flags=("$@")
runner=${RUNNER:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")

fail() { echo "== install check: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
for file in include/zelkit/client.h $libdir/lib$library.so.1.0.0 $libdir/cmake/zelkit/zelkit-config.cmake \
    $libdir/pkgconfig/zelkit.pc bin/CamStoreConfig; do
  [ -e "$prefix/$file" ] || fail "$file was not installed"
done
[ "$(readlink "$prefix/$libdir/lib$library.so.1")" = "lib$library.so.1.0.0" ] ||
  fail "lib$library.so.1 is not the soname link"

for header in "$prefix"/include/zelkit/*.h; do
  echo "#include <zelkit/$(basename "$header")>" |
    c++ -std=c++11 -Wall -Wextra -Werror "${flags[@]}" -I"$prefix/include" -fsyntax-only -x c++ - ||
    fail "$(basename "$header") does not compile on its own"
done

# run NAME PROGRAM: it must need the build's library and report success.
run() {
  local name=$1 program=$2 output
  readelf -d "$program" | grep -q "NEEDED.*\[lib$library\.so\.1\]" || fail "$name does not link lib$library.so.1"
  output=$(env -u LD_LIBRARY_PATH $runner "$program" 2>&1) || fail "$name failed: $output"
  [ "$output" = "consumer: ok" ] || fail "$name printed: $output"
  echo "== install check: $name links lib$library.so.1 and runs"
}

cmake -S tests/install -B "$work/find_package" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="${flags[*]}" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "find_package failed"; }
cmake --build "$work/find_package" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the find_package build failed"; }
run find_package "$work/find_package/consumer"

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
c++ "${flags[@]}" tests/install/main.cpp $(pkg-config --cflags --libs zelkit) \
  -Wl,-rpath,"$(pkg-config --variable=libdir zelkit)" -o "$work/pkg-config-consumer" ||
  fail "the pkg-config build failed"
run pkg-config "$work/pkg-config-consumer"

if [[ " ${flags[*]} " == *" -m32 "* ]]; then
  if cmake -S tests/install -B "$work/other_word_size" -DCMAKE_PREFIX_PATH="$prefix" >"$work/other.log" 2>&1; then
    fail "a 64-bit project took the 32-bit installation"
  fi
  grep -q "not accepted" "$work/other.log" || { cat "$work/other.log"; fail "find_package failed otherwise"; }
  echo "== install check: a 64-bit project is turned away"
fi
